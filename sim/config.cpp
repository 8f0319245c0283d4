// SPDX-License-Identifier: MIT
#include "sim/config.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "sim/sim.h"

namespace bdesim {
namespace {

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string Trim(const std::string& text) {
    std::size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) return "";
    std::size_t end = text.find_last_not_of(" \t\r\n");
    return text.substr(begin, end - begin + 1);
}

// A whole decimal number within [low, high].
bool ParseNumber(const std::string& text, long low, long high, long& value) {
    if (text.empty() || text.size() > 12) return false;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    }
    value = std::strtol(text.c_str(), nullptr, 10);
    return value >= low && value <= high;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool ParseHexPair(const std::string& text, std::array<std::uint8_t, 2>& bytes) {
    if (text.size() != 4) return false;
    for (std::size_t i = 0; i < 2; ++i) {
        int high = HexDigit(text[2 * i]);
        int low = HexDigit(text[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        bytes[i] = static_cast<std::uint8_t>(high * 16 + low);
    }
    return true;
}

bool ParseListen(const std::string& text, Listen& listen) {
    std::string address = text;
    std::size_t colon = text.find(':');
    if (colon != std::string::npos) {
        address = text.substr(0, colon);
        long port = 0;
        if (!ParseNumber(text.substr(colon + 1), 0, 65535, port)) return false;
        listen.port = static_cast<int>(port);
    }
    in_addr parsed{};
    if (::inet_pton(AF_INET, address.c_str(), &parsed) != 1) return false;
    listen.address = address;
    return true;
}

// One character; "_" stands for a blank.
bool ParseChar(const std::string& text, char& c) {
    if (text.size() != 1) return false;
    c = text[0] == '_' ? ' ' : text[0];
    return true;
}

// YYMMDDHHMMSS as local time; years below 80 are 20YY.
bool ParseFixedTime(const std::string& text, std::time_t& result) {
    if (text.size() != 12) return false;
    int v[6];
    for (int i = 0; i < 6; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[2 * i])) ||
            !std::isdigit(static_cast<unsigned char>(text[2 * i + 1])))
            return false;
        v[i] = (text[2 * i] - '0') * 10 + (text[2 * i + 1] - '0');
    }
    std::tm tm{};
    tm.tm_year = v[0] < 80 ? v[0] + 100 : v[0];
    tm.tm_mon = v[1] - 1;
    tm.tm_mday = v[2];
    tm.tm_hour = v[3];
    tm.tm_min = v[4];
    tm.tm_sec = v[5];
    tm.tm_isdst = -1;
    if (v[1] < 1 || v[1] > 12 || v[2] < 1 || v[2] > 31 || v[3] > 23 || v[4] > 59 || v[5] > 59) return false;
    result = std::mktime(&tm);
    return result != static_cast<std::time_t>(-1);
}

bool SectionHeader(const std::string& line, std::string& kind, std::string& name) {
    if (line.size() < 2 || line.front() != '[' || line.back() != ']') return false;
    std::istringstream words(line.substr(1, line.size() - 2));
    std::string extra;
    if (!(words >> kind >> name) || (words >> extra)) return false;
    kind = Lower(kind);
    return true;
}

}  // namespace

bool ParseFault(const std::string& text, Fault& fault, std::string& error) {
    fault = Fault{};
    fault.text = Trim(text);
    std::istringstream words(fault.text);
    std::string head;
    if (!(words >> head)) {
        error = "empty fault";
        return false;
    }
    std::string selector = head;
    std::size_t hash = head.find('#');
    if (hash != std::string::npos) {
        selector = head.substr(0, hash);
        std::string number = head.substr(hash + 1);
        bool onward = !number.empty() && number.back() == '+';
        if (onward) number.pop_back();
        if (!ParseNumber(number, 1, 1000000000, fault.first)) {
            error = "bad count in \"" + head + "\"";
            return false;
        }
        fault.count = onward ? -1 : 1;
    }
    const std::span<const KindRow> kinds = Selectors();
    const auto row =
        std::find_if(kinds.begin(), kinds.end(), [&](const KindRow& k) { return SameInAnyCase(k.name, selector); });
    if (row == kinds.end()) {
        error = "unknown fault selector \"" + selector + "\"";
        return false;
    }
    fault.selector = row->kind;
    bool connect = fault.selector == Kind::kConnect;

    std::string word;
    int actions = 0;
    while (words >> word) {
        std::string key = Lower(word);
        std::string value;
        bool hasValue = false;
        std::size_t eq = word.find('=');
        if (eq != std::string::npos) {
            key = Lower(word.substr(0, eq));
            value = word.substr(eq + 1);
            hasValue = true;
        }
        auto number = [&](long low, long high, long& out) {
            if (!hasValue || !ParseNumber(value, low, high, out)) {
                error = "bad value in \"" + word + "\"";
                return false;
            }
            return true;
        };
        auto flag = [&](bool& out) {
            if (hasValue) {
                error = "\"" + key + "\" takes no value";
                return false;
            }
            out = true;
            return true;
        };
        bool ok = true;
        if (key == "for") {
            ok = number(1, 1000000000, fault.count);
            --actions;
        } else if (key == "chance") {
            long percent = 0;
            ok = number(0, 100, percent);
            fault.chance = static_cast<int>(percent);
            --actions;
        } else if (key == "silence") {
            ok = flag(fault.silence);
        } else if (key == "close") {
            ok = flag(fault.close);
        } else if (key == "reset") {
            ok = flag(fault.reset);
        } else if (key == "busy") {
            ok = flag(fault.busy);
        } else if (key == "marker") {
            std::string where = Lower(value);
            if (!hasValue) {
                fault.markerStart = fault.markerEnd = true;
            } else if (where == "start") {
                fault.markerStart = true;
            } else if (where == "end") {
                fault.markerEnd = true;
            } else {
                error = "marker takes start or end";
                ok = false;
            }
        } else if (key == "cut") {
            ok = number(0, 1920, fault.cut);
        } else if (key == "stall") {
            ok = number(0, 1920, fault.stall);
        } else if (key == "trickle") {
            ok = number(0, 60000, fault.trickleMs);
        } else if (key == "delay") {
            ok = number(0, 600000, fault.delayMs);
        } else if (key == "status") {
            fault.hasStatus = true;
            std::array<std::uint8_t, 2> bytes{};
            if (hasValue && value.size() == 4 && row->frame == FrameType::kStatus && ParseHexPair(value, bytes)) {
                fault.status.assign(reinterpret_cast<const char*>(bytes.data()), 2);
            } else if (hasValue && value.size() == 2) {
                fault.status = value;
                std::replace(fault.status.begin(), fault.status.end(), '_', ' ');
            } else {
                error = "status takes 2 characters (or 4 hex digits for status frames)";
                ok = false;
            }
        } else if (key == "refuse" || key == "noaccept") {
            (key == "refuse" ? fault.refuse : fault.noaccept) = true;
            if (hasValue) ok = number(0, 3600000, fault.windowMs);
        } else {
            error = "unknown fault action \"" + word + "\"";
            ok = false;
        }
        if (!ok) return false;
        ++actions;
    }
    if (actions <= 0) {
        error = "fault \"" + fault.text + "\" has no action";
        return false;
    }
    int ending = fault.silence + fault.close + fault.reset;
    bool sending = fault.cut >= 0 || fault.stall >= 0 || fault.trickleMs > 0 || fault.markerStart ||
                   fault.markerEnd || fault.hasStatus || fault.busy;
    if (connect) {
        if (ending + fault.refuse + fault.noaccept != 1 || sending || fault.delayMs > 0) {
            error = "a connect fault takes exactly one of close, reset, silence, refuse, noaccept";
            return false;
        }
        return true;
    }
    if (fault.refuse || fault.noaccept) {
        error = "refuse and noaccept apply to connect only";
        return false;
    }
    if (ending > 1 || (ending == 1 && sending)) {
        error = "silence, close and reset exclude each other and every reply change";
        return false;
    }
    if (fault.cut >= 0 && fault.stall >= 0) {
        error = "cut and stall exclude each other";
        return false;
    }
    if (fault.busy && fault.selector != Kind::kLineStatus && fault.selector != Kind::kAny) {
        error = "busy applies to ST only";
        return false;
    }
    return true;
}

bool IsTerminalKey(const std::string& key) {
    static const std::set<std::string> keys = {"listen",   "number", "status",  "version", "clock",
                                               "dateformat", "radio", "memory", "freemem", "readers",
                                               "hexcase",  "program", "store",  "fault", "programs"};
    return keys.count(Lower(key)) != 0;
}

bool SetTerminalKey(TerminalConfig& t, const std::string& rawKey, const std::string& value,
                    const std::string& baseDir, std::string& error) {
    std::string key = Lower(rawKey);
    auto fail = [&](const std::string& what) {
        error = "terminal " + t.name + ": " + what;
        return false;
    };
    auto path = [&](const std::string& p) { return p.empty() || p[0] == '/' ? p : baseDir + "/" + p; };
    if (key == "listen") {
        Listen listen;
        if (!ParseListen(value, listen)) return fail("bad listen address \"" + value + "\"");
        t.listen = listen;
    } else if (key == "number") {
        if (value.empty() || value.size() > 30 ||
            !std::all_of(value.begin(), value.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
            return fail("number must be 1 to 30 digits");
        t.number = value;
    } else if (key == "status") {
        if (!ParseHexPair(value, t.status)) return fail("status takes 4 hex digits, e.g. B5D8");
    } else if (key == "version") {
        if (value.size() > 128) return fail("version text longer than 128 characters");
        t.version = value;
        std::replace(t.version.begin(), t.version.end(), '_', ' ');
    } else if (key == "clock") {
        std::string v = Lower(value);
        if (v == "host") {
            t.clockFixed = false;
            t.clockOffset = 0;
        } else if (v.rfind("host+", 0) == 0 || v.rfind("host-", 0) == 0) {
            long seconds = 0;
            if (!ParseNumber(v.substr(5), 0, 100L * 366 * 86400, seconds)) return fail("bad clock offset");
            t.clockFixed = false;
            t.clockOffset = v[4] == '+' ? seconds : -seconds;
        } else if (ParseFixedTime(v, t.fixedTime)) {
            t.clockFixed = true;
        } else {
            return fail("clock takes host, host+S, host-S or YYMMDDHHMMSS");
        }
    } else if (key == "dateformat") {
        if (!ParseChar(value, t.dateFormat)) return fail("dateformat takes one character");
    } else if (key == "radio") {
        if (!ParseChar(value, t.radio)) return fail("radio takes one character");
    } else if (key == "memory") {
        long units = 0;
        if (!ParseNumber(value, 0, 9999, units)) return fail("memory takes 0 to 9999");
        t.memory = static_cast<int>(units);
    } else if (key == "freemem") {
        if (value.size() > 4) return fail("freemem takes at most 4 characters");
        std::string text = value;
        std::replace(text.begin(), text.end(), '_', ' ');
        text.insert(0, 4 - text.size(), ' ');
        t.freeMemory = text;
    } else if (key == "readers") {
        t.readersFile = path(value);
    } else if (key == "hexcase") {
        std::string v = Lower(value);
        if (v != "upper" && v != "lower") return fail("hexcase takes upper or lower");
        t.hexLower = v == "lower";
    } else if (key == "program") {
        std::string v = Lower(value);
        if (v != "running" && v != "stopped") return fail("program takes running or stopped");
        t.programRunning = v == "running";
    } else if (key == "programs") {
        std::string v = Lower(value);
        if (v != "counted" && v != "separate") return fail("programs takes counted or separate");
        t.programsCounted = v == "counted";
    } else if (key == "store") {
        if (value.empty()) return fail("empty store");
        t.store = path(value);
    } else if (key == "fault") {
        Fault fault;
        if (!ParseFault(value, fault, error)) return fail(error);
        t.faults.push_back(fault);
    } else {
        return fail("unknown key \"" + rawKey + "\"");
    }
    return true;
}

namespace {

bool SetAdapterKey(AdapterConfig& a, const std::string& rawKey, const std::string& value, std::string& error) {
    std::string key = Lower(rawKey);
    auto fail = [&](const std::string& what) {
        error = "adapter " + a.name + ": " + what;
        return false;
    };
    if (key == "listen") {
        Listen listen;
        if (!ParseListen(value, listen)) return fail("bad listen address \"" + value + "\"");
        a.listen = listen;
    } else if (key == "line") {
        std::string v = Lower(value);
        if (v != "free" && v != "busy") return fail("line takes free or busy");
        a.busy = v == "busy";
    } else if (key == "id") {
        if (value.size() > 100) return fail("id longer than 100 characters");
        a.id = value;
    } else if (key == "fault") {
        Fault fault;
        if (!ParseFault(value, fault, error)) return fail(error);
        a.faults.push_back(fault);
    } else {
        return fail("unknown key \"" + rawKey + "\"");
    }
    return true;
}

}  // namespace

bool LoadConfigFile(const std::string& path, Config& config, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    std::string baseDir = ".";
    std::size_t slash = path.rfind('/');
    if (slash != std::string::npos) baseDir = slash == 0 ? "/" : path.substr(0, slash);

    enum { kNone, kTerminal, kAdapter } section = kNone;
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        std::string where = path + ":" + std::to_string(number) + ": ";
        // A "#" after a blank or tab starts a comment to the end of the line.
        for (std::size_t at = line.find('#'); at != std::string::npos; at = line.find('#', at + 1)) {
            if (at > 0 && (line[at - 1] == ' ' || line[at - 1] == '\t')) {
                line.resize(at);
                break;
            }
        }
        line = Trim(line);
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        std::string kind, name;
        if (line[0] == '[') {
            if (!SectionHeader(line, kind, name) || (kind != "terminal" && kind != "adapter")) {
                error = where + "expected [terminal NAME] or [adapter NAME]";
                return false;
            }
            if (kind == "terminal") {
                config.terminals.push_back(TerminalConfig{});
                config.terminals.back().name = name;
                section = kTerminal;
            } else {
                config.adapters.push_back(AdapterConfig{});
                config.adapters.back().name = name;
                section = kAdapter;
            }
            continue;
        }
        std::size_t eq = line.find('=');
        if (eq == std::string::npos) {
            error = where + "expected KEY = VALUE";
            return false;
        }
        std::string key = Trim(line.substr(0, eq));
        std::string value = Trim(line.substr(eq + 1));
        bool ok = true;
        if (section == kNone) {
            long seed = 0;
            if (Lower(key) != "seed" || !ParseNumber(value, 0, 2147483647L, seed)) {
                error = where + "only \"seed = N\" may come before the first section";
                return false;
            }
            config.seed = static_cast<unsigned long>(seed);
        } else if (section == kTerminal) {
            ok = SetTerminalKey(config.terminals.back(), key, value, baseDir, error);
        } else {
            ok = SetAdapterKey(config.adapters.back(), key, value, error);
        }
        if (!ok) {
            error = where + error;
            return false;
        }
    }
    return true;
}

bool CheckConfig(const Config& config, std::string& error) {
    std::set<std::string> names;
    std::set<std::string> numbers;
    std::set<std::pair<std::string, int>> addresses;
    bool chance = false;
    auto listener = [&](const std::string& name, const std::optional<Listen>& listen) {
        if (!listen) return true;
        if (listen->port != 0 && !addresses.insert({listen->address, listen->port}).second) {
            error = name + ": " + listen->address + ":" + std::to_string(listen->port) + " is used twice";
            return false;
        }
        return true;
    };
    auto uniqueName = [&](const std::string& name) {
        bool printable = !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
            return std::isgraph(static_cast<unsigned char>(c)) != 0;
        });
        if (!printable) {
            error = "the name \"" + name + "\" must be printable characters without blanks";
            return false;
        }
        if (!names.insert(name).second) {
            error = "the name " + name + " is used twice";
            return false;
        }
        return true;
    };
    for (const TerminalConfig& t : config.terminals) {
        if (!uniqueName(t.name) || !listener(t.name, t.listen)) return false;
        if (!t.listen && t.number.empty()) {
            error = "terminal " + t.name + " has neither listen nor number";
            return false;
        }
        if (!t.number.empty() && !numbers.insert(t.number).second) {
            error = "the number " + t.number + " is used twice";
            return false;
        }
        for (const Fault& f : t.faults) chance = chance || f.chance < 100;
    }
    for (const AdapterConfig& a : config.adapters) {
        if (!uniqueName(a.name) || !listener(a.name, a.listen)) return false;
        if (!a.listen) {
            error = "adapter " + a.name + " has no listen address";
            return false;
        }
        for (const Fault& f : a.faults) chance = chance || f.chance < 100;
    }
    if (config.terminals.empty() && config.adapters.empty()) {
        error = "nothing to simulate: no terminal and no adapter";
        return false;
    }
    if (chance && !config.seed) {
        error = "faults with chance= need a seed (--seed N or seed = N)";
        return false;
    }
    return true;
}

}  // namespace bdesim

// SPDX-License-Identifier: MIT
// The connection registry: which terminal name holds which socket in this
// process, 512 slots under the named lock XELBDE2, and the one-time
// initialisation under XELBDE1 that every API call passes.
#include <atomic>
#include <mutex>
#include <cstdio>
#include <cstring>

#include "tcpcom/internal.h"
#include "xelbde/internal.h"

namespace xelbde {
namespace {

constexpr const char* kInitLockName = "XELBDE1";
constexpr const char* kTableLockName = "XELBDE2";

std::array<SocketSlot, kRegistrySlots> g_slots{};

// Both are changed only while XELBDE1 is held. The flag is atomic, so that a
// thread that sees the first call done also sees the cleared table and its
// lock handle whatever orders the threads (a file lock is no synchronisation
// the language knows of).
std::atomic<bool> g_firstCall{true};
MutexHandle g_tableLock{-1};

std::atomic<int> g_lockWaitMs{kLockWaitMs};

// The calls running on each slot's connection and its cancel mark. This
// process's own: XelbdeCancel reaches only calls of the process.
struct RunningCalls {
    std::mutex mutex;
    int count = 0;
    tcpcom::CancelMark mark;
};
std::array<RunningCalls, kRegistrySlots> g_running;

// XELBDE2 held for one scan of the table. The lock layer serialises the
// threads sharing the process-wide handle as well as the processes.
class TableLock {
  public:
    TableLock() = default;
    TableLock(const TableLock&) = delete;
    TableLock& operator=(const TableLock&) = delete;
    ~TableLock() {
        if (held_) Release();
    }

    bool Acquire() {
        held_ = MutexWait(&g_tableLock, LockWaitMs()) == 1;
        return held_;
    }

    bool Release() {
        held_ = false;
        return MutexRelease(&g_tableLock) != 0;
    }

  private:
    bool held_ = false;
};

void TraceText(const char* text, const char* title) {
    XelbdeTrace(text, static_cast<int>(::strnlen(text, kNameBufferSize)), title);
}

// A key the registry can hold: 1 to 15 characters. An empty name is the mark
// of a free slot and never names a terminal.
bool IsStorableName(const char* name) {
    std::size_t length = ::strnlen(name, kNameBufferSize);
    return length > 0 && length < static_cast<std::size_t>(kNameBufferSize);
}

// Index of the slot holding name, or -1. Caller holds XELBDE2.
int FindSlot(const char* name) {
    for (int i = 0; i < kRegistrySlots; ++i) {
        const SocketSlot& slot = g_slots[static_cast<std::size_t>(i)];
        if (slot.name[0] != '\0' && std::strncmp(slot.name, name, kNameBufferSize) == 0) return i;
    }
    return -1;
}

}  // namespace

int LockWaitMs() { return g_lockWaitMs.load(); }

void SetLockWaitMsForTest(int milliseconds) { g_lockWaitMs.store(milliseconds); }

std::array<SocketSlot, kRegistrySlots>& RegistrySlotsForTest() { return g_slots; }

Code InitApiLibrary() {
    MutexHandle* initLock = tcpcom::ProcessLock(kInitLockName);
    if (const char* unsafe = tcpcom::TakeLockPlaceNotice()) {
        XelbdeInitLog();
        TcpcomLog("tcpcom", "MutexCreate", kLogError, 0, 0,
                  "Sperrverzeichnis gehoert einem anderen Benutzer oder ist fuer andere beschreibbar: "
                  "Sperren gelten nur in diesem Prozess",
                  unsafe);
    }
    if (initLock == nullptr || MutexWait(initLock, LockWaitMs()) != 1) return Code::kInitLock;
    Code code = Code::kOk;
    if (g_firstCall.load(std::memory_order_acquire)) {
        g_slots.fill(SocketSlot{});
        if (MutexCreate(kTableLockName, &g_tableLock)) {
            g_firstCall.store(false, std::memory_order_release);
        } else {
            g_tableLock.fd = -1;
            code = Code::kTableLockCreate;
        }
    }
    if (!MutexRelease(initLock) && code == Code::kOk) code = Code::kInternal;
    return code;
}

SocketResult RegisterApiFunction(int id, const char* name) {
    if (Code init = InitApiLibrary(); init != Code::kOk) return {init};

    if (id < 0 || id >= kApiCount) {
        char message[96];
        std::snprintf(message, sizeof message, "Interner Programmfehler: Unbekannte API-Funktion '%u'",
                      static_cast<unsigned>(id));
        XelbdeInitLog();
        TcpcomLog(kSourceXelbde, "RegisterApiFunction", kLogError, XELBDE_INTERNAL, 0, message, "");
        // The call ends with the code its record carries.
        return {Code::kInternal};
    }

    const char* api = kApiNames[static_cast<std::size_t>(id)];
    XelbdeTrace(api, static_cast<int>(std::strlen(api)), "*** RegisterApiFunction ***");

    // An empty name is the mark of a free slot: it never names a connection,
    // for the connect (nothing could be entered under it) as for every other
    // call (which would otherwise borrow a free slot's socket 0).
    if (name == nullptr || name[0] == '\0') return {Code::kConnectionState};

    // Whatever kept the lookup from finding the name (24, 25, 26), the call
    // learns only that the connection state does not fit: 33.
    SocketResult found = GetSocketHandle(name);
    if (id == kIdAPALC00B) return found.ok() ? SocketResult{Code::kConnectionState} : SocketResult{};
    return found.ok() ? found : SocketResult{Code::kConnectionState};
}

SocketResult GetSocketHandle(const char* name) {
    if (name == nullptr) name = "";
    TraceText(name, "*** GetSocketHandle ***");
    // No slot can hold an unstorable name; an empty one must not find a free slot.
    if (!IsStorableName(name)) return {Code::kLookupNotFound};
    TableLock lock;
    if (!lock.Acquire()) return {Code::kLookupLockWait};
    const int slot = FindSlot(name);
    const int socket = slot >= 0 ? g_slots[static_cast<std::size_t>(slot)].socket : -1;
    if (!lock.Release()) return {Code::kLookupLockRelease};
    if (slot < 0) return {Code::kLookupNotFound};
    return {Code::kOk, socket, slot};
}

const tcpcom::CancelMark* BeginCallOn(int slot) {
    if (slot < 0 || slot >= kRegistrySlots) return nullptr;
    RunningCalls& calls = g_running[static_cast<std::size_t>(slot)];
    std::lock_guard<std::mutex> guard(calls.mutex);
    if (calls.count == 0 && !calls.mark.Prepare()) return nullptr;
    ++calls.count;
    return &calls.mark;
}

void EndCallOn(int slot) {
    if (slot < 0 || slot >= kRegistrySlots) return;
    RunningCalls& calls = g_running[static_cast<std::size_t>(slot)];
    std::lock_guard<std::mutex> guard(calls.mutex);
    if (calls.count > 0 && --calls.count == 0) calls.mark.Close();  // its wake descriptor lives while calls run
}

Code SetSocketHandle(const char* name, int socket) {
    if (name == nullptr) name = "";
    TraceText(name, "*** SetSocketHandle ***");
    // An empty name would leave the slot marked free; a longer one could
    // only be stored cut and would never be found again.
    if (!IsStorableName(name)) return Code::kInternal;
    TableLock lock;
    if (!lock.Acquire()) return Code::kEnterLockWait;
    // The whole table is searched for the name before a slot is taken, so a
    // name is never entered twice, whatever slot was freed before it.
    if (FindSlot(name) >= 0) return Code::kAlreadyRegistered;
    Code code = Code::kTableFull;
    for (SocketSlot& slot : g_slots) {
        if (slot.name[0] == '\0') {
            slot = SocketSlot{};
            std::memcpy(slot.name, name, std::strlen(name));
            slot.socket = socket;
            code = Code::kOk;
            break;
        }
    }
    if (!lock.Release()) return Code::kEnterLockRelease;
    return code;
}

Code ReleaseSocketHandle(const char* name) {
    if (name == nullptr) name = "";
    TraceText(name, "*** ReleaseSocketHandle ***");
    // Never entered, and an empty name must not clear a free slot.
    if (!IsStorableName(name)) return Code::kRemoveNotFound;
    TableLock lock;
    if (!lock.Acquire()) return Code::kRemoveLockWait;
    int slot = FindSlot(name);
    if (slot >= 0) g_slots[static_cast<std::size_t>(slot)] = SocketSlot{};
    if (!lock.Release()) return Code::kRemoveLockRelease;
    return slot >= 0 ? Code::kOk : Code::kRemoveNotFound;
}

}  // namespace xelbde

using namespace xelbde;

// Only a call running on the connection is marked: the slot is looked up
// and marked under the table lock, so a connection released meanwhile
// (and its slot taken by another) is never marked.
extern "C" void XelbdeCancel(const char* terminal) {
    char name[kNameBufferSize];
    NormalizeBdeName(terminal, name);
    if (!IsStorableName(name) || g_firstCall.load(std::memory_order_acquire)) return;
    TableLock lock;
    if (!lock.Acquire()) return;
    const int slot = FindSlot(name);
    if (slot < 0) return;
    RunningCalls& calls = g_running[static_cast<std::size_t>(slot)];
    std::lock_guard<std::mutex> guard(calls.mutex);
    if (calls.count > 0) calls.mark.Set();
}

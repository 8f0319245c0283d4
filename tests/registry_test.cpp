// The connection registry: its 512 slots, the codes of entering, finding and
// removing a terminal, and the named locks that serialise it between threads
// and between processes.
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "xelbde/internal.h"

namespace {

using namespace xelbde;

std::string SlotName(int i) {
    char name[kNameBufferSize];
    std::snprintf(name, sizeof name, "T%03d", i);
    return name;
}

class Registry : public ::testing::Test {
  protected:
    void SetUp() override {
        int code = -1;
        ASSERT_EQ(InitApiLibrary(&code), 1) << code;
    }
    static int Enter(const char* name, int socket) {
        int code = -1;
        int result = SetSocketHandle(name, socket, &code);
        EXPECT_EQ(result == 1, code == XELBDE_OK) << name;
        return code;
    }
    static int Remove(const char* name) {
        int code = -1;
        int result = ReleaseSocketHandle(name, &code);
        EXPECT_EQ(result == 1, code == XELBDE_OK) << name;
        return code;
    }
    static int Find(const char* name, int* socket) {
        int code = -1;
        int result = GetSocketHandle(name, socket, &code);
        EXPECT_EQ(result == 1, code == XELBDE_OK) << name;
        return code;
    }
};

TEST_F(Registry, HoldsFiveHundredTwelveTerminals) {
    for (int i = 0; i < kRegistrySlots; ++i) {
        ASSERT_EQ(Enter(SlotName(i).c_str(), 1000 + i), XELBDE_OK) << i;
    }
    EXPECT_EQ(Enter("T999", 9), XELBDE_TABLE_FULL);
    int socket = -1;
    EXPECT_EQ(Find("T511", &socket), XELBDE_OK);
    EXPECT_EQ(socket, 1511);
    EXPECT_EQ(Find("T999", &socket), XELBDE_LOOKUP_NOT_FOUND);
    EXPECT_EQ(socket, -1);
}

TEST_F(Registry, FreedSlotIsTheNextOneTaken) {
    for (int i = 0; i < 10; ++i) ASSERT_EQ(Enter(SlotName(i).c_str(), i), XELBDE_OK);
    ASSERT_EQ(Remove("T007"), XELBDE_OK);
    ASSERT_EQ(Remove("T003"), XELBDE_OK);
    EXPECT_EQ(SocketHandleTable[3].name[0], '\0');
    EXPECT_EQ(SocketHandleTable[3].socket, 0);
    ASSERT_EQ(Enter("NEW", 55), XELBDE_OK);
    EXPECT_STREQ(SocketHandleTable[3].name, "NEW");
    EXPECT_EQ(SocketHandleTable[3].socket, 55);
    ASSERT_EQ(Enter("NEXT", 56), XELBDE_OK);
    EXPECT_STREQ(SocketHandleTable[7].name, "NEXT");
}

TEST_F(Registry, DuplicateAndMissingNames) {
    ASSERT_EQ(Enter("T01", 5), XELBDE_OK);
    EXPECT_EQ(Enter("T01", 6), XELBDE_ALREADY_REGISTERED);
    int socket = -1;
    EXPECT_EQ(Find("T01", &socket), XELBDE_OK);
    EXPECT_EQ(socket, 5);
    EXPECT_EQ(Remove("T02"), XELBDE_REMOVE_NOT_FOUND);
    EXPECT_EQ(Remove("T01"), XELBDE_OK);
    EXPECT_EQ(Remove("T01"), XELBDE_REMOVE_NOT_FOUND);
    EXPECT_EQ(Find("T01", &socket), XELBDE_LOOKUP_NOT_FOUND);
}

TEST_F(Registry, DuplicateBehindAFreedSlotIsStillSeen) {
    ASSERT_EQ(Enter("A", 1), XELBDE_OK);
    ASSERT_EQ(Enter("B", 2), XELBDE_OK);
    ASSERT_EQ(Remove("A"), XELBDE_OK);
    EXPECT_EQ(Enter("B", 3), XELBDE_ALREADY_REGISTERED);
    EXPECT_EQ(SocketHandleTable[0].name[0], '\0');
    ASSERT_EQ(Remove("B"), XELBDE_OK);
    EXPECT_EQ(Remove("B"), XELBDE_REMOVE_NOT_FOUND);
}

TEST_F(Registry, NamesAreCaseSensitiveWholeTexts) {
    ASSERT_EQ(Enter("T01", 1), XELBDE_OK);
    ASSERT_EQ(Enter("t01", 2), XELBDE_OK);
    ASSERT_EQ(Enter("T0", 3), XELBDE_OK);
    int socket = -1;
    EXPECT_EQ(Find("t01", &socket), XELBDE_OK);
    EXPECT_EQ(socket, 2);
    EXPECT_EQ(Find("T01", &socket), XELBDE_OK);
    EXPECT_EQ(socket, 1);
    EXPECT_EQ(Find("T0", &socket), XELBDE_OK);
    EXPECT_EQ(socket, 3);
    EXPECT_EQ(Find("T011", &socket), XELBDE_LOOKUP_NOT_FOUND);
}

TEST_F(Registry, FifteenCharacterAddressIsAKey) {
    ASSERT_EQ(Enter("192.168.100.200", 9), XELBDE_OK);
    int socket = -1;
    EXPECT_EQ(Find("192.168.100.200", &socket), XELBDE_OK);
    EXPECT_EQ(socket, 9);
    // A longer name could only be stored cut and would alias another key.
    EXPECT_EQ(Enter("192.168.100.2001", 10), XELBDE_INTERNAL);
    EXPECT_EQ(Find("192.168.100.2001", &socket), XELBDE_LOOKUP_NOT_FOUND);
}

TEST_F(Registry, EmptyNameIsNeverAKey) {
    ASSERT_EQ(Enter("T01", 4), XELBDE_OK);
    int socket = 99;
    EXPECT_EQ(Find("", &socket), XELBDE_LOOKUP_NOT_FOUND);
    EXPECT_EQ(socket, -1);
    EXPECT_EQ(Enter("", 5), XELBDE_INTERNAL);
    EXPECT_EQ(Remove(""), XELBDE_REMOVE_NOT_FOUND);
    EXPECT_EQ(Find(nullptr, &socket), XELBDE_LOOKUP_NOT_FOUND);
    EXPECT_STREQ(SocketHandleTable[0].name, "T01");
    EXPECT_EQ(SocketHandleTable[1].name[0], '\0');
}

TEST_F(Registry, LaterInitialisationKeepsTheTable) {
    ASSERT_EQ(Enter("T01", 4), XELBDE_OK);
    int code = -1;
    ASSERT_EQ(InitApiLibrary(&code), 1);
    int socket = -1;
    EXPECT_EQ(Find("T01", &socket), XELBDE_OK);
    EXPECT_EQ(socket, 4);
}

TEST_F(Registry, ThreadsOfOneProcessDoNotLoseEntries) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 200;
    std::vector<std::thread> threads;
    std::vector<int> failures(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            for (int round = 0; round < kRounds; ++round) {
                char name[kNameBufferSize];
                std::snprintf(name, sizeof name, "W%d-%d", t, round % 8);
                int code = -1;
                int socket = -1;
                if (SetSocketHandle(name, t * 1000 + round, &code) != 1) ++failures[t];
                if (GetSocketHandle(name, &socket, &code) != 1 || socket != t * 1000 + round) ++failures[t];
                if (ReleaseSocketHandle(name, &code) != 1) ++failures[t];
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << t;
    for (const SocketSlot& slot : SocketHandleTable) EXPECT_EQ(slot.name[0], '\0');
}

// ------------------------------------------------- locks across processes --

// A child process that takes one named lock itself and holds it until told
// to end, or ends holding it.
class LockHolder {
  public:
    explicit LockHolder(const char* lockName, bool release = true) {
        int ready[2];
        int finish[2];
        if (::pipe(ready) != 0 || ::pipe(finish) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            ::close(finish[1]);
            MutexHandle handle{-1};
            char state = (MutexCreate(lockName, &handle) == 1 && MutexWait(&handle, 1000) == 1) ? 'L' : 'E';
            (void)!::write(ready[1], &state, 1);
            char ignored;
            (void)!::read(finish[0], &ignored, 1);
            if (release) MutexRelease(&handle);
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(finish[0]);
        finish_ = finish[1];
        char state = 0;
        pollfd wait{ready[0], POLLIN, 0};
        if (::poll(&wait, 1, 10000) == 1 && ::read(ready[0], &state, 1) == 1) locked_ = state == 'L';
        ::close(ready[0]);
    }
    ~LockHolder() { Finish(); }

    bool locked() const { return locked_; }
    void Finish() {
        if (pid_ <= 0) return;
        ::close(finish_);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
    int finish_ = -1;
    bool locked_ = false;
};

TEST_F(Registry, TableLockHeldByAnotherProcess) {
    ASSERT_EQ(Enter("T01", 4), XELBDE_OK);
    SetLockWaitMsForTest(200);
    LockHolder holder("XELBDE2");
    ASSERT_TRUE(holder.locked());

    int socket = 77;
    EXPECT_EQ(Find("T01", &socket), XELBDE_LOOKUP_LOCK_WAIT);
    EXPECT_EQ(Enter("T02", 5), XELBDE_ENTER_LOCK_WAIT);
    EXPECT_EQ(Remove("T01"), XELBDE_REMOVE_LOCK_WAIT);
    int code = -1;
    EXPECT_EQ(RegisterApiFunction(kIdAPTYP01B, "T01", &code, &socket), 0);
    EXPECT_EQ(code, XELBDE_CONNECTION_STATE);

    holder.Finish();
    EXPECT_EQ(Find("T01", &socket), XELBDE_OK);
    EXPECT_EQ(socket, 4);
    EXPECT_EQ(Remove("T01"), XELBDE_OK);
}

TEST_F(Registry, InitialisationLockHeldByAnotherProcess) {
    SetLockWaitMsForTest(200);
    LockHolder holder("XELBDE1");
    ASSERT_TRUE(holder.locked());
    int code = -1;
    EXPECT_EQ(InitApiLibrary(&code), 0);
    EXPECT_EQ(code, XELBDE_INIT_LOCK);
    int socket = -1;
    code = -1;
    EXPECT_EQ(RegisterApiFunction(kIdAPALC00B, "T01", &code, &socket), 0);
    EXPECT_EQ(code, XELBDE_INIT_LOCK);
    holder.Finish();
    EXPECT_EQ(InitApiLibrary(&code), 1);
}

TEST_F(Registry, LockOfAProcessThatDiedIsFreeAgain) {
    SetLockWaitMsForTest(200);
    LockHolder holder("XELBDE2", /*release=*/false);
    ASSERT_TRUE(holder.locked());
    holder.Finish();  // the child ends still holding the lock
    EXPECT_EQ(Enter("T01", 4), XELBDE_OK);
}

TEST(RegistryStart, FirstInitialisationClearsTheTable) {
    std::memset(SocketHandleTable.data(), 'Z', sizeof SocketHandleTable);
    int code = -1;
    ASSERT_EQ(InitApiLibrary(&code), 1);
    for (const SocketSlot& slot : SocketHandleTable) {
        ASSERT_EQ(slot.name[0], '\0');
        ASSERT_EQ(slot.socket, 0);
    }
}

TEST(RegistryStart, TableCallsBeforeInitialisationFailCleanly) {
    SetLockWaitMsForTest(100);
    int code = -1;
    int socket = -1;
    EXPECT_EQ(GetSocketHandle("T01", &socket, &code), 0);
    EXPECT_EQ(code, XELBDE_LOOKUP_LOCK_WAIT);
    EXPECT_EQ(SetSocketHandle("T01", 3, &code), 0);
    EXPECT_EQ(code, XELBDE_ENTER_LOCK_WAIT);
}

}  // namespace

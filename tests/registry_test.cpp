// SPDX-License-Identifier: MIT
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
    void SetUp() override { ASSERT_EQ(InitApiLibrary(), Code::kOk); }
    static Code Enter(const char* name, int socket) { return SetSocketHandle(name, socket); }
    static Code Remove(const char* name) { return ReleaseSocketHandle(name); }
    static Code Find(const char* name, int* socket) {
        SocketResult found = GetSocketHandle(name);
        *socket = found.socket;
        return found.code;
    }
};

TEST_F(Registry, HoldsFiveHundredTwelveTerminals) {
    for (int i = 0; i < kRegistrySlots; ++i) {
        ASSERT_EQ(Enter(SlotName(i).c_str(), 1000 + i), Code::kOk) << i;
    }
    EXPECT_EQ(Enter("T999", 9), Code::kTableFull);
    int socket = -1;
    EXPECT_EQ(Find("T511", &socket), Code::kOk);
    EXPECT_EQ(socket, 1511);
    EXPECT_EQ(Find("T999", &socket), Code::kLookupNotFound);
    EXPECT_EQ(socket, -1);
}

TEST_F(Registry, FreedSlotIsTheNextOneTaken) {
    for (int i = 0; i < 10; ++i) ASSERT_EQ(Enter(SlotName(i).c_str(), i), Code::kOk);
    ASSERT_EQ(Remove("T007"), Code::kOk);
    ASSERT_EQ(Remove("T003"), Code::kOk);
    EXPECT_EQ(RegistrySlotsForTest()[3].name[0], '\0');
    EXPECT_EQ(RegistrySlotsForTest()[3].socket, 0);
    ASSERT_EQ(Enter("NEW", 55), Code::kOk);
    EXPECT_STREQ(RegistrySlotsForTest()[3].name, "NEW");
    EXPECT_EQ(RegistrySlotsForTest()[3].socket, 55);
    ASSERT_EQ(Enter("NEXT", 56), Code::kOk);
    EXPECT_STREQ(RegistrySlotsForTest()[7].name, "NEXT");
}

TEST_F(Registry, DuplicateAndMissingNames) {
    ASSERT_EQ(Enter("T01", 5), Code::kOk);
    EXPECT_EQ(Enter("T01", 6), Code::kAlreadyRegistered);
    int socket = -1;
    EXPECT_EQ(Find("T01", &socket), Code::kOk);
    EXPECT_EQ(socket, 5);
    EXPECT_EQ(Remove("T02"), Code::kRemoveNotFound);
    EXPECT_EQ(Remove("T01"), Code::kOk);
    EXPECT_EQ(Remove("T01"), Code::kRemoveNotFound);
    EXPECT_EQ(Find("T01", &socket), Code::kLookupNotFound);
}

TEST_F(Registry, DuplicateBehindAFreedSlotIsStillSeen) {
    ASSERT_EQ(Enter("A", 1), Code::kOk);
    ASSERT_EQ(Enter("B", 2), Code::kOk);
    ASSERT_EQ(Remove("A"), Code::kOk);
    EXPECT_EQ(Enter("B", 3), Code::kAlreadyRegistered);
    EXPECT_EQ(RegistrySlotsForTest()[0].name[0], '\0');
    ASSERT_EQ(Remove("B"), Code::kOk);
    EXPECT_EQ(Remove("B"), Code::kRemoveNotFound);
}

TEST_F(Registry, NamesAreCaseSensitiveWholeTexts) {
    ASSERT_EQ(Enter("T01", 1), Code::kOk);
    ASSERT_EQ(Enter("t01", 2), Code::kOk);
    ASSERT_EQ(Enter("T0", 3), Code::kOk);
    int socket = -1;
    EXPECT_EQ(Find("t01", &socket), Code::kOk);
    EXPECT_EQ(socket, 2);
    EXPECT_EQ(Find("T01", &socket), Code::kOk);
    EXPECT_EQ(socket, 1);
    EXPECT_EQ(Find("T0", &socket), Code::kOk);
    EXPECT_EQ(socket, 3);
    EXPECT_EQ(Find("T011", &socket), Code::kLookupNotFound);
}

TEST_F(Registry, FifteenCharacterAddressIsAKey) {
    ASSERT_EQ(Enter("192.168.100.200", 9), Code::kOk);
    int socket = -1;
    EXPECT_EQ(Find("192.168.100.200", &socket), Code::kOk);
    EXPECT_EQ(socket, 9);
    // A longer name could only be stored cut and would alias another key.
    EXPECT_EQ(Enter("192.168.100.2001", 10), Code::kInternal);
    EXPECT_EQ(Find("192.168.100.2001", &socket), Code::kLookupNotFound);
}

TEST_F(Registry, EmptyNameIsNeverAKey) {
    ASSERT_EQ(Enter("T01", 4), Code::kOk);
    int socket = 99;
    EXPECT_EQ(Find("", &socket), Code::kLookupNotFound);
    EXPECT_EQ(socket, -1);
    EXPECT_EQ(Enter("", 5), Code::kInternal);
    EXPECT_EQ(Remove(""), Code::kRemoveNotFound);
    EXPECT_EQ(Find(nullptr, &socket), Code::kLookupNotFound);
    EXPECT_STREQ(RegistrySlotsForTest()[0].name, "T01");
    EXPECT_EQ(RegistrySlotsForTest()[1].name[0], '\0');
}

TEST_F(Registry, LaterInitialisationKeepsTheTable) {
    ASSERT_EQ(Enter("T01", 4), Code::kOk);
    ASSERT_EQ(InitApiLibrary(), Code::kOk);
    int socket = -1;
    EXPECT_EQ(Find("T01", &socket), Code::kOk);
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
                if (SetSocketHandle(name, t * 1000 + round) != Code::kOk) ++failures[t];
                SocketResult found = GetSocketHandle(name);
                if (!found.ok() || found.socket != t * 1000 + round) ++failures[t];
                if (ReleaseSocketHandle(name) != Code::kOk) ++failures[t];
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << t;
    for (const SocketSlot& slot : RegistrySlotsForTest()) EXPECT_EQ(slot.name[0], '\0');
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
    ASSERT_EQ(Enter("T01", 4), Code::kOk);
    SetLockWaitMsForTest(200);
    LockHolder holder("XELBDE2");
    ASSERT_TRUE(holder.locked());

    int socket = 77;
    EXPECT_EQ(Find("T01", &socket), Code::kLookupLockWait);
    EXPECT_EQ(Enter("T02", 5), Code::kEnterLockWait);
    EXPECT_EQ(Remove("T01"), Code::kRemoveLockWait);
    EXPECT_EQ(RegisterApiFunction(kIdAPTYP01B, "T01").code, Code::kConnectionState);

    holder.Finish();
    EXPECT_EQ(Find("T01", &socket), Code::kOk);
    EXPECT_EQ(socket, 4);
    EXPECT_EQ(Remove("T01"), Code::kOk);
}

TEST_F(Registry, InitialisationLockHeldByAnotherProcess) {
    SetLockWaitMsForTest(200);
    LockHolder holder("XELBDE1");
    ASSERT_TRUE(holder.locked());
    EXPECT_EQ(InitApiLibrary(), Code::kInitLock);
    EXPECT_EQ(RegisterApiFunction(kIdAPALC00B, "T01").code, Code::kInitLock);
    holder.Finish();
    EXPECT_EQ(InitApiLibrary(), Code::kOk);
}

TEST_F(Registry, LockOfAProcessThatDiedIsFreeAgain) {
    SetLockWaitMsForTest(200);
    LockHolder holder("XELBDE2", /*release=*/false);
    ASSERT_TRUE(holder.locked());
    holder.Finish();  // the child ends still holding the lock
    EXPECT_EQ(Enter("T01", 4), Code::kOk);
}

TEST(RegistryStart, FirstInitialisationClearsTheTable) {
    std::memset(RegistrySlotsForTest().data(), 'Z', sizeof RegistrySlotsForTest());
    ASSERT_EQ(InitApiLibrary(), Code::kOk);
    for (const SocketSlot& slot : RegistrySlotsForTest()) {
        ASSERT_EQ(slot.name[0], '\0');
        ASSERT_EQ(slot.socket, 0);
    }
}

TEST(RegistryStart, TableCallsBeforeInitialisationFailCleanly) {
    SetLockWaitMsForTest(100);
    EXPECT_EQ(GetSocketHandle("T01").code, Code::kLookupLockWait);
    EXPECT_EQ(SetSocketHandle("T01", 3), Code::kEnterLockWait);
}

}  // namespace

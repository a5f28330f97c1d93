// The FIPS mode lock: shared for operations, exclusive for a change of mode, and the
// operations' view of the mode while other threads change it.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "norvo/core/crypto.hpp"

#include <openssl/evp.h>
#include <openssl/provider.h>

#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace core = norvo::core;

namespace {

// Waits, without a timer, until `lock` has `n` threads queued: the thread started before is
// then known to be held up by the lock, not merely slow to start.
void until_waiting(const core::ModeLock& lock, std::size_t n) {
    while (lock.waiting() != n) std::this_thread::yield();
}

// What the threads of one test did, in order.
struct Log {
    std::mutex m;
    std::vector<std::string> entries;
    void add(const char* what) {
        std::lock_guard<std::mutex> g(m);
        entries.push_back(what);
    }
};

core::bytes_view view(const std::string& s) { return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()}; }

// Forks; the child runs `check` under an alarm (a hang shows as SIGALRM) and exits 0 when it
// holds. Returns the child's wait status.
int in_child(const std::function<bool()>& check) {
    pid_t pid = fork();
    if (pid == 0) {
        alarm(10);
        _exit(check() ? 0 : 1);
    }
    int status = -1;
    waitpid(pid, &status, 0);
    return status;
}

// What a child can do when its lock is as good as new: a change of mode and operations.
bool lock_works() {
    const std::string abc = "abc";
    std::uint8_t out[16];
    core::random_bytes(core::bytes_out(out, sizeof out));
    return core::fips_flip() && core::sha384(view(abc)).size() == core::SHA384_DIGEST_SIZE &&
           core::mode_lock().waiting() == 0;
}

}  // namespace

TEST(ModeLock, SharedHoldersRunTogether) {
    core::ModeLock lock;
    lock.lock_shared();
    std::thread other([&] {
        lock.lock_shared();
        lock.unlock_shared();
    });
    other.join();  // would never return if one shared holder excluded another
    lock.unlock_shared();
    EXPECT_EQ(lock.waiting(), 0u);
}

TEST(ModeLock, AWaitingWriterGoesBeforeLaterReaders) {
    core::ModeLock lock;
    Log log;
    lock.lock_shared();
    std::thread writer([&] {
        lock.lock();
        log.add("writer");
        lock.unlock();
    });
    until_waiting(lock, 1);
    std::thread reader([&] {
        lock.lock_shared();
        log.add("reader");
        lock.unlock_shared();
    });
    until_waiting(lock, 2);
    log.add("first reader leaves");
    lock.unlock_shared();
    writer.join();
    reader.join();
    EXPECT_EQ(log.entries, (std::vector<std::string>{"first reader leaves", "writer", "reader"}));
}

TEST(ModeLock, WritersTakeTurns) {
    core::ModeLock lock;
    int inside = 0, most = 0;
    auto write = [&] {
        for (int i = 0; i < 2000; ++i) {
            lock.lock();
            most = std::max(most, ++inside);
            --inside;
            lock.unlock();
        }
    };
    std::thread a(write), b(write);
    a.join();
    b.join();
    EXPECT_EQ(most, 1);
}

TEST(ModeGuards, OperationsWaitForAChangeOfMode) {
    const std::string abc = "abc";
    const auto expected = core::sha384(view(abc));
    std::atomic<bool> done{false};
    std::thread op;
    {
        core::ModeWriteGuard change;
        // Inside its own change the thread still runs operations: they read the mode it makes.
        EXPECT_EQ(core::sha384(view(abc)), expected);
        op = std::thread([&] {
            EXPECT_EQ(core::sha384(view(abc)), expected);
            done = true;
        });
        until_waiting(core::mode_lock(), 1);
        EXPECT_FALSE(done);
    }
    op.join();
    EXPECT_TRUE(done);
}

TEST(ModeGuards, NestedOperationsPassAWaitingWriter) {
    // A thread inside an operation that starts another must not queue behind a writer that
    // is waiting for the first operation to end: that would wait forever.
    const std::string abc = "abc";
    Log log;
    std::thread writer;
    {
        core::ModeReadGuard outer;
        writer = std::thread([&] {
            core::ModeWriteGuard change;
            log.add("writer");
        });
        until_waiting(core::mode_lock(), 1);
        EXPECT_EQ(core::sha384(view(abc)).size(), core::SHA384_DIGEST_SIZE);
        EXPECT_FALSE(core::fips_enabled());
        log.add("nested operations");
    }
    writer.join();
    EXPECT_EQ(log.entries, (std::vector<std::string>{"nested operations", "writer"}));
}

TEST(ModeGuards, AChangeOfModeInsideAnOperationIsRefused) {
    {
        core::ModeReadGuard op;
        EXPECT_THROW(core::ModeWriteGuard change, std::logic_error);
        EXPECT_THROW(core::fips_flip(), std::logic_error);
    }
    // Nothing was left held: a change and an operation both still go through.
    EXPECT_TRUE(core::fips_flip());
    EXPECT_EQ(core::mode_lock().waiting(), 0u);
}

TEST(ModeGuards, OperationsTakeTheSharedLock) {
    // What the extension modules rely on: once a lock is shared, every operation of this copy
    // of the core takes that one.
    core::ModeLock& own = core::mode_lock();
    core::ModeLock given;
    core::share_mode_lock(given);
    EXPECT_EQ(&core::mode_lock(), &given);
    std::atomic<bool> done{false};
    given.lock();
    std::thread op([&] {
        std::uint8_t out[16];
        core::random_bytes(core::bytes_out(out, sizeof out));
        done = true;
    });
    until_waiting(given, 1);
    EXPECT_FALSE(done);
    given.unlock();
    op.join();
    EXPECT_TRUE(done);
    core::share_mode_lock(own);
}

// Threads run operations while another thread turns FIPS mode on and off (on, with no FIPS
// provider loaded, every operation must be refused). Each operation reads the mode inside the
// same hold of the lock, so its outcome must match that reading exactly: a right answer with
// the mode off, a refusal with it on. Algorithms fetched under one mode and used under the
// other, or a mode that changes within an operation, break that.
TEST(ModeGuards, EveryOperationRunsUnderTheModeItRead) {
    if (OSSL_PROVIDER_available(nullptr, "fips")) GTEST_SKIP() << "a FIPS provider is loaded in this process";
    const std::string key(32, 'k'), iv(16, '\0'), salt = "saltsaltsaltsalt";
    const std::string data(20000, 'd');
    std::vector<std::uint8_t> cipher(data.size()), derived(32), kdf(32);
    core::aes_ctr(view(key), view(iv), view(data), cipher.data());
    const auto tag = core::hmac_sha384(view(key), view(data));
    const auto digest = core::sha384(view(data));
    core::pbkdf2_hmac("SHA384", view(key), view(salt), 5, derived);
    core::x963_kdf("SHA384", view(key), {}, kdf);

    constexpr int THREADS = 4, ROUNDS = 400;
    std::atomic<int> running{THREADS}, wrong{0}, on_seen{0}, off_seen{0};
    auto refused = [](auto&& op) {
        try {
            op();
            return false;
        } catch (const core::OpenSSLError&) {
            return true;
        }
    };
    auto work = [&] {
        for (int i = 0; i < ROUNDS; ++i) {
            std::vector<std::uint8_t> out(data.size()), d(32), k(32);
            std::array<std::uint8_t, core::SHA384_DIGEST_SIZE> t{}, h{};
            core::ModeReadGuard op;
            const bool fips = core::fips_enabled();
            ++(fips ? on_seen : off_seen);
            const bool refusals[] = {
                refused([&] { core::aes_ctr(view(key), view(iv), view(data), out.data()); }),
                refused([&] { t = core::hmac_sha384(view(key), view(data)); }),
                refused([&] { h = core::sha384(view(data)); }),
                refused([&] { core::pbkdf2_hmac("SHA384", view(key), view(salt), 5, d); }),
                refused([&] { core::x963_kdf("SHA384", view(key), {}, k); }),
            };
            const bool all = std::all_of(std::begin(refusals), std::end(refusals), [](bool r) { return r; });
            const bool none = std::none_of(std::begin(refusals), std::end(refusals), [](bool r) { return r; });
            const bool right = out == cipher && t == tag && h == digest && d == derived && k == kdf;
            if (fips ? !all : !(none && right)) ++wrong;
        }
        --running;
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) threads.emplace_back(work);
    int changes = 0;
    for (bool on = false; running > 0; ++changes) {
        if (changes % 3 == 2) {
            EXPECT_EQ(core::fips_flip(), !on);  // the test hook, between the real changes
            continue;
        }
        core::ModeWriteGuard change;
        on = !on;
        EVP_default_properties_enable_fips(nullptr, on ? 1 : 0);
    }
    for (auto& t : threads) t.join();
    {
        core::ModeWriteGuard change;
        EVP_default_properties_enable_fips(nullptr, 0);
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(on_seen + off_seen, THREADS * ROUNDS);
    EXPECT_GT(on_seen, 0);
    EXPECT_GT(off_seen, 0);
    EXPECT_FALSE(core::fips_enabled());
}

// A fork waits for the operation under way, so that the child copies none half done, and the
// child starts with a lock that nobody holds.
TEST(ModeLockFork, AForkWaitsForOperationsUnderWayAndTheChildStartsFree) {
    std::atomic<bool> inside{false}, released{false};
    std::thread op([&] {
        core::ModeReadGuard operation;
        inside = true;
        until_waiting(core::mode_lock(), 1);  // the fork has begun and waits for this operation
        released = true;
    });
    while (!inside) std::this_thread::yield();
    const int status = in_child([&] { return released.load() && lock_works(); });
    op.join();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(lock_works());
}

// A fork queues like a change of mode: behind a change under way and the operations that change
// held up, none of which is half done in the child, which counts none of those threads.
TEST(ModeLockFork, AForkQueuesBehindAChangeUnderWayAndItsReaders) {
    std::atomic<bool> holding{false}, let_go{false};
    std::thread writer([&] {
        core::ModeWriteGuard change;
        holding = true;
        while (!let_go) std::this_thread::yield();
    });
    while (!holding) std::this_thread::yield();
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i) readers.emplace_back([] {
        std::uint8_t out[16];
        core::random_bytes(core::bytes_out(out, sizeof out));
    });
    until_waiting(core::mode_lock(), 3);
    std::thread releaser([&] {
        until_waiting(core::mode_lock(), 4);  // the fork queues behind the writer and the readers
        let_go = true;
    });
    const int status = in_child(lock_works);
    for (auto& t : readers) t.join();
    writer.join();
    releaser.join();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(lock_works());
}

// A switch that its maker had yet to confirm at the fork is undone in the child, which starts
// in the mode the process had before the switch; a confirmed one is kept.
TEST(ModeLockFork, AnUnconfirmedSwitchIsUndoneInTheChild) {
    if (OSSL_PROVIDER_available(nullptr, "fips")) GTEST_SKIP() << "a FIPS provider is loaded in this process";
    const core::FipsChange change{nullptr, true};  // what a switch that turned the property on made
    for (const bool confirmed : {false, true}) {
        {
            core::ModeWriteGuard switching;
            EVP_default_properties_enable_fips(nullptr, 1);
            core::mode_lock().hold_unconfirmed(change);
        }
        if (confirmed) core::fips_confirm(change);
        const int status = in_child([&] { return core::fips_enabled() == confirmed; });
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "confirmed " << confirmed << ": " << status;
        EXPECT_TRUE(core::fips_enabled());  // the parent's own switch goes on
        core::fips_undo(change);
        EXPECT_FALSE(core::fips_enabled());
    }
}

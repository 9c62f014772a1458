// The package's thread team: every piece runs once, whatever the count, from any thread, nested
// or not, and a forked child gets a team of its own.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "platform/loops/thread_team.h"

using namespace cellprox;

namespace {

// Runs `pieces` pieces on `workers` threads, each counting its visits.
std::vector<int> visits(int32_t workers, int32_t pieces) {
    std::vector<std::atomic<int>> counts(static_cast<size_t>(pieces));
    auto count = [&](int32_t k) { counts[static_cast<size_t>(k)].fetch_add(1); };
    for_each_piece(workers, pieces, count);
    std::vector<int> seen;
    for (auto& c : counts) seen.push_back(c.load());
    return seen;
}

}  // namespace

TEST(ThreadTeam, EveryPieceRunsExactlyOnceForAnyCount) {
    for (int32_t workers : {-3, 0, 1, 2, 3, 8, 64, 5000}) {
        for (int32_t pieces : {0, 1, 2, 7, 1000}) {
            EXPECT_EQ(visits(workers, pieces), std::vector<int>(static_cast<size_t>(pieces), 1))
                << workers << " workers, " << pieces << " pieces";
        }
    }
    // Threads are kept: the largest count asked (clamped) is all there ever were.
    EXPECT_LE(team_threads_started(), MAX_WORKERS - 1);
    const int32_t before = team_threads_started();
    visits(8, 100);
    EXPECT_EQ(team_threads_started(), before);
}

TEST(ThreadTeam, LoopsInsidePiecesAndFromManyThreadsAllFinish) {
    std::atomic<int64_t> total{0};
    auto outer = [&](int32_t) {
        auto inner = [&](int32_t k) { total.fetch_add(k + 1); };
        for_each_piece(4, 100, inner);    // on this thread alone: the team is busy with `outer`
    };
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t) {
        callers.emplace_back([&] {
            for (int round = 0; round < 20; ++round) for_each_piece(3, 16, outer);
        });
    }
    for (auto& caller : callers) caller.join();
    EXPECT_EQ(total.load(), int64_t(4) * 20 * 16 * 5050);
}

#if !defined(_WIN32)
TEST(ThreadTeam, AForkedChildRunsLoopsOnATeamOfItsOwn) {
    visits(4, 100);   // the parent's team is up
    // The fork comes while the parent's team is busy, from another thread.
    std::atomic<bool> stop{false};
    std::thread busy([&] {
        auto spin = [&](int32_t) { while (!stop.load()) std::this_thread::yield(); };
        for_each_piece(4, 4, spin);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const pid_t child = fork();
    if (child == 0) {
        const std::vector<int> seen = visits(4, 1000);
        bool all_once = true;
        for (int v : seen) all_once &= v == 1;
        _exit(all_once ? 0 : 1);
    }
    stop.store(true);
    busy.join();
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
#endif

// The process-wide worker pool that evaluates the children of query conjunctions and
// disjunctions in parallel: one oneTBB task arena, created on first use and sized once, from
// RAYON_NUM_THREADS, else RAYON_RS_NUM_CPUS (each only when it is a positive decimal number),
// else the number of hardware threads (1 when unknown). Its threads never hold the interpreter
// lock and never call the interpreter.
//
// Every parallel step runs isolated: a thread waiting for the tasks of a step runs only tasks of
// that step meanwhile, never an unrelated task of the same query. Evaluation holds read locks of
// index cores while it waits, so a stolen task could otherwise try to take, on the same thread, a
// read lock that thread already holds, and deadlock behind a writer queued in between.
#pragma once

#include <cstddef>
#include <functional>

namespace vantorelle::pool {

// The number of threads the pool runs with (the calling thread included).
std::size_t thread_count();

// Runs `body` in the pool's arena, with the calling thread taking part; returns when it is done.
// An exception thrown by `body` or by any task it started reaches the caller, once the tasks
// already running have finished.
void run(const std::function<void()>& body);

// Runs task(i) for every i in [0, n) as parallel tasks of one isolated step and waits for all.
// Call from within run(). The first exception thrown by a task is rethrown here once the others
// have finished.
void for_each(std::size_t n, const std::function<void(std::size_t)>& task);

// Around fork(), once no thread is inside run(): parks every worker of the pool in a task that
// waits, so that none is inside an allocator (oneTBB's, or a sanitizer's, neither of which
// locks itself around fork()) when the process is copied; a child would otherwise wait forever on
// a lock held by a thread it does not have. Waits a bounded time for the workers to arrive.
// resume_after_fork releases them; call it in the parent whether or not fork() succeeded.
void park_for_fork() noexcept;
void resume_after_fork() noexcept;

}  // namespace vantorelle::pool

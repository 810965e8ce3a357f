// The shared background pool: one Asio io_context run by a small number of
// threads for the whole process. Read handlers, close completions, modem-line
// polls and request time-outs run here. A strand on the pool is a serial
// queue: its tasks run one at a time, in the order posted.
//
// Threading: every function may be called from any thread. The pool starts on
// first use and runs until the process exits.
#pragma once

#include <asio/io_context.hpp>
#include <asio/strand.hpp>

#include <functional>

namespace valmor {

using Strand = asio::strand<asio::io_context::executor_type>;

// The pool's context. Work posted to it runs on one of the pool's threads.
asio::io_context& backgroundContext();

// A new serial queue on the pool.
Strand makeStrand();

// Runs a task on the pool, never inside this call.
void postToBackground(std::function<void()> task);

// True on one of the pool's threads.
bool isBackgroundThread();

}  // namespace valmor

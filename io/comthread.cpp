// SPDX-License-Identifier: MIT
// The Qt application object the serial services need, and threads that may work ports of their own.
#include "io/rs232.h"

#include "io/rs232_net.h"

#include <QCoreApplication>
#include <QThread>

#include <mutex>

void InitComServices(int argc, char **argv)
{
    if (QCoreApplication::instance())
        return;
    // Qt keeps references to both for the application's lifetime.
    static int args = argc;
    new QCoreApplication(args, argv);
}

struct ComThread::Thread {
    std::unique_ptr<QThread> thread;
    // The job's last act, taken again by Join: whatever the job wrote is then plainly seen by the joining thread,
    // also by tools that cannot look into how Qt waits for its threads.
    std::mutex done;
};

ComThread::ComThread(std::function<void()> job) : thread_(std::make_unique<Thread>())
{
    static std::once_flag prepared;
    std::call_once(prepared, rs232net::PrepareForThreads);
    // A thread Qt starts itself has an event dispatcher, which a port's notifiers need to be made at all.
    thread_->thread.reset(QThread::create([job = std::move(job), &done = thread_->done] {
        job();
        const std::lock_guard lock(done);
    }));
    thread_->thread->start();
}

ComThread::~ComThread()
{
    Join();
}

void ComThread::Join()
{
    thread_->thread->wait();
    const std::lock_guard lock(thread_->done);
}

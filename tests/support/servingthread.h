#pragma once

#include <QObject>
#include <QThread>

#include <functional>
#include <memory>
#include <vector>

namespace domiva::test {

// A thread of its own with its event loop, for stand-ins made of Qt sockets: the code under
// test waits on its sockets without turning the test's loop, so they serve from here. The
// objects made by make() live and die on this thread.
class ServingThread {
public:
    ServingThread() {
        m_thread.start();
        m_context->moveToThread(&m_thread);
    }
    ~ServingThread() {
        run([this] { m_objects.clear(); });
        QMetaObject::invokeMethod(
            m_context.get(), [this] { m_context->moveToThread(m_home); },
            Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
    }
    ServingThread(const ServingThread&) = delete;
    ServingThread& operator=(const ServingThread&) = delete;

    // Runs work on the thread and returns once it has run.
    void run(const std::function<void()>& work) {
        QMetaObject::invokeMethod(m_context.get(), work, Qt::BlockingQueuedConnection);
    }
    // Makes an object on the thread, kept until the thread ends.
    template <typename T, typename... Args> T* make(Args... args) {
        T* made = nullptr;
        run([&] {
            auto object = std::make_unique<T>(args...);
            made = object.get();
            m_objects.push_back(std::move(object));
        });
        return made;
    }

private:
    QThread m_thread;
    QThread* m_home = QThread::currentThread();
    std::unique_ptr<QObject> m_context = std::make_unique<QObject>();
    std::vector<std::unique_ptr<QObject>> m_objects; // used on the thread only
};

} // namespace domiva::test

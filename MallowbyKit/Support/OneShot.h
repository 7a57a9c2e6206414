#pragma once

#include <QCoreApplication>
#include <QMetaObject>

#include <coroutine>
#include <memory>
#include <mutex>
#include <optional>

namespace mallowby {

// A result handed from any thread to a coroutine on the main thread, exactly once: the first
// complete() wins, later ones are ignored. Await it with `co_await *oneShot`.
template<typename T>
class OneShot : public std::enable_shared_from_this<OneShot<T>> {
public:
    static std::shared_ptr<OneShot> make() { return std::shared_ptr<OneShot>(new OneShot); }

    // Answers; false when an answer was already given.
    bool complete(T value)
    {
        std::coroutine_handle<> waiter;
        {
            std::lock_guard guard(m_lock);
            if (m_value)
                return false;
            m_value.emplace(std::move(value));
            waiter = std::exchange(m_waiter, {});
        }
        if (waiter) {
            if (auto* app = QCoreApplication::instance())
                QMetaObject::invokeMethod(app, [waiter] { waiter.resume(); }, Qt::QueuedConnection);
        }
        return true;
    }

    auto operator co_await()
    {
        struct Awaiter {
            std::shared_ptr<OneShot> shot;
            bool await_ready() const noexcept { return false; }
            bool await_suspend(std::coroutine_handle<> handle)
            {
                std::lock_guard guard(shot->m_lock);
                if (shot->m_value)
                    return false;  // already answered: carry on at once
                shot->m_waiter = handle;
                return true;
            }
            T await_resume()
            {
                std::lock_guard guard(shot->m_lock);
                return *shot->m_value;
            }
        };
        return Awaiter{this->shared_from_this()};
    }

private:
    OneShot() = default;

    std::mutex m_lock;
    std::optional<T> m_value;
    std::coroutine_handle<> m_waiter;
};

} // namespace mallowby

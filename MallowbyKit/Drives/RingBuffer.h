#pragma once

#include <QList>

#include <algorithm>

namespace mallowby {

// Fixed-capacity history: a push overwrites the oldest element.
template <typename T>
class RingBuffer {
public:
    // A capacity below 1 is taken as 1.
    RingBuffer(qsizetype capacity, const T& value) : m_storage(std::max<qsizetype>(capacity, 1), value) {}

    bool operator==(const RingBuffer&) const = default;

    qsizetype capacity() const { return m_storage.size(); }
    // The slot the next push writes, which also holds the oldest element.
    qsizetype head() const { return m_head; }

    void push(const T& value)
    {
        m_storage[m_head] = value;
        m_head = (m_head + 1) % m_storage.size();
    }

    // All elements, oldest first.
    QList<T> values() const { return recent(capacity()); }

    // The newest min(count, capacity) elements, oldest first.
    QList<T> recent(qsizetype count) const
    {
        const qsizetype capacity = m_storage.size();
        const qsizetype k = std::clamp<qsizetype>(count, 0, capacity);
        QList<T> result(k);
        if (k == 0)
            return result;
        // Two runs of the storage: from the oldest wanted to the end, then from the start.
        const qsizetype start = (m_head + capacity - k) % capacity, first = std::min(k, capacity - start);
        const auto from = m_storage.cbegin();
        std::copy(from, from + (k - first), std::copy(from + start, from + start + first, result.begin()));
        return result;
    }

    const T& latest() const { return m_storage[(m_head + m_storage.size() - 1) % m_storage.size()]; }

private:
    QList<T> m_storage;
    qsizetype m_head = 0;
};

} // namespace mallowby

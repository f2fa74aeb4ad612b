// First-in-first-out queue shared by one producer thread and one consumer thread.
#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <queue>
#include <utility>

template <typename T>
class Queue {
public:
    Queue() = default;
    Queue(const Queue&) = delete;
    Queue& operator=(const Queue&) = delete;

    virtual ~Queue() {
        std::lock_guard<std::mutex> lock(mutex);
        while (!items.empty()) {
            items.pop();
        }
    }

    void push(const T& item) {
        std::lock_guard<std::mutex> lock(mutex);
        items.push(item);
    }

    // Takes every element under one lock, oldest first.
    std::deque<T> takeAll() {
        std::lock_guard<std::mutex> lock(mutex);
        std::deque<T> all;
        while (!items.empty()) {
            all.push_back(std::move(items.front()));
            items.pop();
        }
        return all;
    }

    // Drops every element; returns how many there were.
    std::size_t clear() {
        std::lock_guard<std::mutex> lock(mutex);
        const std::size_t count = items.size();
        std::queue<T, std::deque<T>>().swap(items);
        return count;
    }

    std::size_t size() {
        std::lock_guard<std::mutex> lock(mutex);
        return items.size();
    }

private:
    std::queue<T, std::deque<T>> items;
    std::mutex mutex;
};

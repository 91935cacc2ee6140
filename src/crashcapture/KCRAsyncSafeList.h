// A list of small values that signal handlers can walk without locks or
// allocation while ordinary threads change it.
//
// Writers (append, prepend, remove) are serialised by a spin lock and may
// allocate. Readers never lock: they hold the reader count (set_reading) for
// the whole walk and follow links with atomic loads. A node removed while the
// count is held is parked on a free list instead of being freed, and a parked
// node is reused or freed only once no reader holds the count, so a reader
// never stands on freed or recycled memory. Every link is read and written
// sequentially consistently, so a node's value, written before the link that
// publishes it, is visible to any reader that follows that link. The optional release function runs
// on a value when its node is finally discarded (immediately on an unread
// remove, else when the parked node is reused or the list is destroyed).
#pragma once

#include <atomic>
#include <cstdint>

namespace kcr::async {

template <class V>
class async_safe_list {
  public:
    struct node {
        V value{};
        std::atomic<node*> prev{nullptr};
        std::atomic<node*> next{nullptr};
        bool parked = false;  // removed, waiting on the free list
    };
    using release_fn = void (*)(V&);

    explicit async_safe_list(release_fn release = nullptr) : release_(release) {}
    async_safe_list(const async_safe_list&) = delete;
    async_safe_list& operator=(const async_safe_list&) = delete;
    // Frees every node, listed and parked. Only for lists whose readers are gone
    // (the process-wide lists are never destroyed).
    ~async_safe_list() {
        discard_chain(head_.load());
        discard_chain(free_);
    }

    // `node_out`, when given, receives the new node before readers can see it.
    void append(V value, void** node_out = nullptr) {
        lock();
        node* n = make_node(value);
        if (node_out != nullptr)
            *node_out = n;
        node* tail = tail_.load();
        if (tail != nullptr) {
            node* expected = nullptr;
            tail->next.compare_exchange_strong(expected, n);
            n->prev.store(tail);
            tail_.store(n);
        } else {
            tail_.store(n);
            node* expected = nullptr;
            head_.compare_exchange_strong(expected, n);
        }
        unlock();
    }

    void prepend(V value, void** node_out = nullptr) {
        lock();
        node* n = make_node(value);
        if (node_out != nullptr)
            *node_out = n;
        node* head = head_.load();
        if (head != nullptr) {
            n->next.store(head);
            head->prev.store(n);
            head_.compare_exchange_strong(head, n);
        } else {
            tail_.store(n);
            node* expected = nullptr;
            head_.compare_exchange_strong(expected, n);
        }
        unlock();
    }

    // Removes the first node holding `value`; false when there is none.
    bool remove(const V& value) {
        lock();
        node* n = head_.load();
        while (n != nullptr && !(n->value == value))
            n = n->next.load();
        if (n == nullptr) {
            unlock();
            return false;
        }
        node* prev = n->prev.load();
        node* next = n->next.load();
        node* expected = n;
        if (prev != nullptr) {
            prev->next.compare_exchange_strong(expected, next);
        } else {
            head_.compare_exchange_strong(expected, next);
        }
        if (next != nullptr) {
            next->prev.store(prev);
        } else {
            tail_.store(prev);
        }
        if (readers_.load() > 0) {
            // A reader may stand on it: keep its links so the reader can go on.
            n->parked = true;
            n->prev.store(free_);
            free_ = n;
        } else {
            discard(n);
        }
        unlock();
        return true;
    }

    // Reader protocol: hold the count around every walk.
    void set_reading(bool reading) {
        if (reading) {
            readers_.fetch_add(1);
        } else {
            readers_.fetch_sub(1);
        }
    }
    // The node after `previous`, or the head when `previous` is null.
    node* next(node* previous) const { return previous == nullptr ? head_.load() : previous->next.load(); }

    // For tests: parked nodes waiting for reuse.
    int parked_count() const {
        int count = 0;
        for (node* n = free_; n != nullptr; n = n->prev.load())
            ++count;
        return count;
    }

  private:
    static_assert(std::atomic<node*>::is_always_lock_free);
    static_assert(std::atomic<int32_t>::is_always_lock_free);

    void lock() {
        while (lock_.test_and_set(std::memory_order_acquire)) {
        }
    }
    void unlock() { lock_.clear(std::memory_order_release); }

    node* make_node(V value) {
        node* n = nullptr;
        if (free_ != nullptr && readers_.load() == 0) {
            n = free_;
            free_ = n->prev.load();
            if (release_ != nullptr)
                release_(n->value);
            n->parked = false;
        } else {
            n = new node;
        }
        n->value = value;
        n->prev.store(nullptr);
        n->next.store(nullptr);
        return n;
    }

    void discard(node* n) {
        if (release_ != nullptr)
            release_(n->value);
        delete n;
    }
    void discard_chain(node* n) {
        while (n != nullptr) {
            node* following = n->parked ? n->prev.load() : n->next.load();
            discard(n);
            n = following;
        }
    }

    std::atomic_flag lock_ = ATOMIC_FLAG_INIT;
    std::atomic<node*> head_{nullptr};
    std::atomic<node*> tail_{nullptr};
    std::atomic<int32_t> readers_{0};
    node* free_ = nullptr;  // parked nodes chained through prev, under the lock
    release_fn release_;
};

}  // namespace kcr::async

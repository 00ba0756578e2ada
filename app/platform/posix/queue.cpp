// Per-thread message queues.
//
// A queue is two fixed rings. The owner's ring is the queue's FIFO and only
// the owning thread touches it. Other threads' posts wait in a second ring,
// under a lock, until the owner moves them behind its ring's messages,
// which it does before each post of its own and each take: so the order of
// the owner's ring is the order in which the posts were made, and a
// thread's posts to its own windows (one per received byte) take no lock.
#include "queue.h"

#include <atomic>
#include <ctime>

namespace kp {

enum {
    kQueueLimit = 10000,   // posted messages Windows holds per queue
    kProcessLimit = 8000,  // of the others' share, what other processes may hold
    kOwnerRingSlots = 2 * kQueueLimit,
    kWaitingSlots = kQueueLimit
};
static_assert(kProcessLimit <= kQueueLimit, "other processes' posts are part of the others' share");
static_assert(kOwnerRingSlots >= 2 * kQueueLimit, "the owner's ring holds the owner's share and the others'");
static_assert(kWaitingSlots >= kQueueLimit, "the waiting ring holds the others' whole share");

namespace {

// A fixed FIFO of messages.
template <unsigned N>
struct Ring {
    Item items[N];
    unsigned head = 0;  // the oldest
    unsigned count = 0;
    static unsigned Next(unsigned i) { return i + 1 == N ? 0 : i + 1; }
    bool Push(const Item& item) {
        if (count == N) return false;
        unsigned at = head + count;
        items[at >= N ? at - N : at] = item;
        ++count;
        return true;
    }
    const Item& Front() const { return items[head]; }
    void Drop() {
        head = Next(head);
        --count;
    }
};

}  // namespace

struct Queue {
    // The owning thread alone touches these.
    Ring<kOwnerRingSlots> ring;
    bool quit = false;
    int quitCode = 0;
    // Other threads' posts, under m until the owner moves them into ring.
    // waitingCount mirrors waiting.count so that the owner sees new posts
    // without the lock: the poster's release store pairs with the owner's
    // acquire load, and the owner then takes the lock to move them.
    std::mutex m;
    std::condition_variable cv;
    Ring<kWaitingSlots> waiting;
    std::atomic<unsigned> waitingCount{0};
    // Messages of each poster anywhere in the queue, for HasRoom. The
    // owner's count is the owner's alone; the others' are counted up by
    // their posters under m and down by the owner as it takes theirs (a
    // poster that reads a count before the owner's decrement refuses early,
    // never late).
    std::atomic<int> held[kPosters] = {};
};

namespace {

// The one rule of a queue's shares. Windows holds 10000 posted messages per
// queue, whoever posts them. Here the owner's own posts have that many and
// everybody else's another 10000: a flood from other threads or processes
// never refuses the owner the posts of a drain (one per byte of a full byte
// queue, 4191), and other processes take at most 8000 of the others'
// share, so that the reader thread's DATA_READ always finds room.
bool HasRoom(const Queue& q, Poster poster) {
    if (poster == POSTER_OWNER) return q.held[POSTER_OWNER].load(std::memory_order_relaxed) < kQueueLimit;
    int others = q.held[POSTER_THREAD].load(std::memory_order_relaxed) +
                 q.held[POSTER_PROCESS].load(std::memory_order_relaxed);
    if (others >= kQueueLimit) return false;
    return poster != POSTER_PROCESS || q.held[POSTER_PROCESS].load(std::memory_order_relaxed) < kProcessLimit;
}

thread_local Queue* t_queue = nullptr;
thread_local bool t_forOtherProcess = false;

// The tick count in milliseconds; the coarse clock is enough for it and is
// read without a system call.
DWORD MessageTime() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return (DWORD)((uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u);
}

// The owner moves other threads' posts behind its own; with wait, it first
// sleeps until there is one. The shares keep everything within the ring.
void Collect(Queue* q, bool wait) {
    std::unique_lock<std::mutex> lock(q->m);
    if (wait) q->cv.wait(lock, [q] { return q->waiting.count > 0; });
    while (q->waiting.count > 0 && q->ring.Push(q->waiting.Front())) q->waiting.Drop();
    q->waitingCount.store(q->waiting.count, std::memory_order_relaxed);
}

bool PostFromElsewhere(Queue* q, const Item& item) {
    std::lock_guard<std::mutex> lock(q->m);
    if (!HasRoom(*q, item.poster) || !q->waiting.Push(item)) return false;
    q->held[item.poster].fetch_add(1, std::memory_order_relaxed);
    q->waitingCount.store(q->waiting.count, std::memory_order_release);
    q->cv.notify_one();
    return true;
}

bool PostFromOwner(Queue* q, const Item& item) {
    // What other threads posted before this post goes before it.
    if (q->waitingCount.load(std::memory_order_acquire) != 0) Collect(q, false);
    if (!HasRoom(*q, POSTER_OWNER) || !q->ring.Push(item)) return false;
    q->held[POSTER_OWNER].fetch_add(1, std::memory_order_relaxed);
    return true;
}

}  // namespace

Queue* CurrentQueue() {
    if (!t_queue) t_queue = new Queue;  // once per thread, before it owns a window or takes a message
    return t_queue;
}

void PostingForOtherProcess(bool on) { t_forOtherProcess = on; }

bool QueuePost(Queue* q, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, ItemKind kind) {
    if (!q) return false;
    Poster poster = q == t_queue ? POSTER_OWNER : t_forOtherProcess ? POSTER_PROCESS : POSTER_THREAD;
    Item item = {hwnd, msg, MessageTime(), wParam, lParam, poster, kind};
    return poster == POSTER_OWNER ? PostFromOwner(q, item) : PostFromElsewhere(q, item);
}

TakeResult QueueTake(Queue* q, Item* out, bool wait, bool remove) {
    for (;;) {
        if (q->waitingCount.load(std::memory_order_acquire) != 0) Collect(q, false);
        if (q->ring.count > 0) break;
        if (q->quit) {
            // Like WM_QUIT, the quit request is seen only once the posted
            // messages are taken.
            if (remove) q->quit = false;
            return TAKE_QUIT;
        }
        if (!wait) return TAKE_NONE;
        Collect(q, true);
    }
    *out = q->ring.Front();
    if (remove) {
        q->ring.Drop();
        q->held[out->poster].fetch_sub(1, std::memory_order_relaxed);  // the poster's share back
    }
    return TAKE_ITEM;
}

void QueueQuit(Queue* q, int exitCode) {
    q->quit = true;
    q->quitCode = exitCode;
}

int QueueQuitCode(const Queue* q) { return q->quitCode; }

}  // namespace kp

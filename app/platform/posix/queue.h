// A thread's queue of posted messages: one FIFO per thread, whoever posts,
// as on Windows. Only queue.cpp sees inside it; windows.cpp posts and takes.
#pragma once

#include "internal.h"

namespace kp {

struct Queue;

// Who made a post; each has a share of the queue (see HasRoom).
enum Poster {
    POSTER_OWNER,    // the thread the queue belongs to
    POSTER_THREAD,   // another thread of this process
    POSTER_PROCESS,  // another process, through the receiving thread
    kPosters
};

// What the owner does with a message when it takes it.
enum ItemKind {
    ITEM_POSTED,   // handed to the caller of GetMessage or PeekMessage
    ITEM_DESTROY   // DestroyWindow of its window, on the owning thread
};

struct Item {
    HWND hwnd;  // 0 for a thread message
    UINT message;
    DWORD time;
    WPARAM wParam;
    LPARAM lParam;
    Poster poster;
    ItemKind kind;
};

// The calling thread's queue, made on first use and kept for the life of
// the process (windows name their queue by address).
Queue* CurrentQueue();

// Posts to q from the calling thread; false when the poster's share of q is
// full. Any thread.
bool QueuePost(Queue* q, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, ItemKind kind);

// While on, the calling thread's posts are counted as another process's.
// The receiving thread sets it around each message it hands in.
void PostingForOtherProcess(bool on);

enum TakeResult { TAKE_NONE, TAKE_ITEM, TAKE_QUIT };
// The owning thread only. The oldest message into *out (with remove, also
// out of the queue); once none is left, a quit request (TAKE_QUIT, with
// remove, once) or, with wait, a sleep until a post arrives; else TAKE_NONE.
TakeResult QueueTake(Queue* q, Item* out, bool wait, bool remove);
// The owning thread only: the next take past the posted messages is a quit.
void QueueQuit(Queue* q, int exitCode);
int QueueQuitCode(const Queue* q);

}  // namespace kp

// A lock-free ring of bytes for exactly one producer thread and one
// consumer thread.
//
// Thread rules: Push and PushAll only from the producer (the reader thread),
// Pop and PopSome only from the consumer (the main thread); Count from
// either. Calling any of the four from another thread is undefined.
#ifndef KESTA_BYTE_QUEUE_H
#define KESTA_BYTE_QUEUE_H

#include "../app/platform/platform.h"

enum {
    BYTE_QUEUE_SLOTS = 4192,
    BYTE_QUEUE_CAPACITY = BYTE_QUEUE_SLOTS - 1  // one slot always stays free
};

struct ByteQueue {
    BYTE m_Slots[BYTE_QUEUE_SLOTS];
    volatile LONG m_nWrite;  // next slot Push fills; written by the producer only
    volatile LONG m_nRead;   // next slot Pop takes; written by the consumer only
};

// Empties the queue and zeroes its slots. Not thread-safe: before the
// threads start.
void Clear(ByteQueue* q);
// Bytes held, 0..BYTE_QUEUE_CAPACITY. A lower bound of what is available to
// the calling side: the other side can only add to it.
int Count(const ByteQueue* q);
// 1 when stored; 0 when the queue was full (the byte is discarded).
int Push(ByteQueue* q, BYTE b);
// 1 when the oldest byte was written to *b and removed; 0 when empty (*b
// untouched).
int Pop(ByteQueue* q, BYTE* b);
// The batch forms of Push and Pop, one index update for many bytes.
// PushAll stores all n bytes and returns 1, or stores none and returns 0
// when they do not all fit. PopSome moves up to max of the oldest bytes to
// out and returns how many.
int PushAll(ByteQueue* q, const BYTE* bytes, int n);
int PopSome(ByteQueue* q, BYTE* out, int max);

#endif

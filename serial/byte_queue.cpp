#include "byte_queue.h"

void Clear(ByteQueue* q) {
    memset(q->m_Slots, 0, sizeof(q->m_Slots));
    PlatformStoreRelease(&q->m_nWrite, 0);
    PlatformStoreRelease(&q->m_nRead, 0);
}

int Count(const ByteQueue* q) {
    // Acquire on both: the other side's index pairs with its release below;
    // our own index was written by this thread, so the ordering is free.
    LONG w = PlatformLoadAcquire(&q->m_nWrite);
    LONG r = PlatformLoadAcquire(&q->m_nRead);
    LONG n = w - r;
    return (int)(n < 0 ? n + BYTE_QUEUE_SLOTS : n);
}

// The slot after `at`; 4192 slots is no power of two, and a compare is
// cheaper than a division on the per-byte path.
static LONG NextSlot(LONG at) {
    return at + 1 == BYTE_QUEUE_SLOTS ? 0 : at + 1;
}

int Push(ByteQueue* q, BYTE b) {
    // Count's acquire of m_nRead pairs with Pop's release: the consumer has
    // copied out the slot we are about to overwrite.
    if (Count(q) == BYTE_QUEUE_CAPACITY) return 0;
    LONG w = PlatformLoadAcquire(&q->m_nWrite);
    q->m_Slots[w] = b;
    // Release: the byte in the slot is visible before the index that covers
    // it. Pairs with the acquire of m_nWrite in the consumer's Count.
    PlatformStoreRelease(&q->m_nWrite, NextSlot(w));
    return 1;
}

int Pop(ByteQueue* q, BYTE* b) {
    // Count's acquire of m_nWrite pairs with Push's release: the slot's byte
    // is visible.
    if (Count(q) == 0) return 0;
    LONG r = PlatformLoadAcquire(&q->m_nRead);
    *b = q->m_Slots[r];
    // Release: the byte has been copied out before the slot is handed back.
    // Pairs with the acquire of m_nRead in the producer's Count.
    PlatformStoreRelease(&q->m_nRead, NextSlot(r));
    return 1;
}

int PushAll(ByteQueue* q, const BYTE* bytes, int n) {
    if (n < 0 || n > BYTE_QUEUE_CAPACITY - Count(q)) return 0;
    LONG w = PlatformLoadAcquire(&q->m_nWrite);
    // Up to the end of the slots, then the rest from the start.
    int first = n < BYTE_QUEUE_SLOTS - w ? n : BYTE_QUEUE_SLOTS - w;
    memcpy(q->m_Slots + w, bytes, (size_t)first);
    memcpy(q->m_Slots, bytes + first, (size_t)(n - first));
    w += n;
    if (w >= BYTE_QUEUE_SLOTS) w -= BYTE_QUEUE_SLOTS;
    // Release, once for the batch: as in Push.
    PlatformStoreRelease(&q->m_nWrite, w);
    return 1;
}

int PopSome(ByteQueue* q, BYTE* out, int max) {
    int n = Count(q);
    if (n > max) n = max;
    if (n <= 0) return 0;
    LONG r = PlatformLoadAcquire(&q->m_nRead);
    int first = n < BYTE_QUEUE_SLOTS - r ? n : BYTE_QUEUE_SLOTS - r;
    memcpy(out, q->m_Slots + r, (size_t)first);
    memcpy(out + first, q->m_Slots, (size_t)(n - first));
    r += n;
    if (r >= BYTE_QUEUE_SLOTS) r -= BYTE_QUEUE_SLOTS;
    // Release, once for the batch: as in Pop.
    PlatformStoreRelease(&q->m_nRead, r);
    return n;
}

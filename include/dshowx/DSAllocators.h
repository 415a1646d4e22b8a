// The framework's memory allocator and its media samples, the two sample
// copiers and the sample snapshot.
//
// CMemoryAllocatorT hands out CMediaSample objects over buffers cut from one
// VirtualAlloc block. Buffers and sample slots are allocated at Commit and
// recycled: a sample is built in place in a preallocated slot by GetBuffer
// and destroyed in place by its last Release, which gives its buffer and its
// slot back and wakes the callers waiting for a buffer. Nothing is allocated
// on the streaming path once the allocator is committed.
//
// Locks: the allocator has one recursive lock (its object lock). GetBuffer
// waits for a free buffer outside it; a sample's return holds it from the
// buffer's return to the waiters' release. The notify callback of
// IMemAllocatorCallbackTemp is always called with the lock released, so that
// a callback that takes a lock of its own cannot deadlock against a thread
// that holds that lock and calls the allocator.
#pragma once

#include "alloc/AllocatorPools.h"
#include "alloc/MediaSample.h"
#include "alloc/MemoryAllocator.h"
#include "alloc/SampleCopiers.h"
#include "alloc/SampleSnapshot.h"

// zepframe_registry.h — ZEPNodeRegistry, the frame's lock-free answer to
// "is this address a registered node?", and the grace period that lets
// producers rely on that answer without the node-list lock.
//
// Owns: an open-addressed table of node addresses (and the tables it
// outgrew, kept until the registry dies so that a reader never follows a
// freed table), and the in-flight counters of the producers.
//
// Threads: Insert and Remove are called with the frame's node-list lock held
// (one writer at a time). Enter, Contains and Leave are called by any thread
// holding no lock (the producers in ZEPFrame::Enqueue); they never touch the
// memory at a node address, so a caller may name a node that is long gone.
// WaitForReaders is called by the thread that is about to drop the frame's
// reference on a removed node, holding no lock the producers take inside
// Enqueue (the queue's locks, the engine and pool locks, g_LogMutex).
//
// The grace period: a producer enters (counts itself in the current parity)
// before it looks a node up and leaves after its push. A remover takes the
// node out of the table, flips the parity and waits until the old parity's
// count has drained. Every operation is sequentially consistent, so a
// producer that entered after the flip looks the node up after its removal
// and does not find it; one that entered before is waited for. New producers
// count in the new parity, so the wait ends however busy they are. Removers
// take turns (a leaf mutex of the registry, taken with no other lock).
#ifndef ZEP_FRAME_ZEPFRAME_REGISTRY_H
#define ZEP_FRAME_ZEPFRAME_REGISTRY_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/zepmultithread.h"

class ZEPNodeRegistry {
 public:
  ZEPNodeRegistry();
  ~ZEPNodeRegistry();
  ZEPNodeRegistry(const ZEPNodeRegistry&) = delete;
  ZEPNodeRegistry& operator=(const ZEPNodeRegistry&) = delete;

  // Writers (the node-list lock held). False: already listed / not listed;
  // Insert also fails when no memory could be had for a bigger table.
  bool Insert(const void* node);
  bool Remove(const void* node);

  // Producers: the ticket Enter returns goes back to Leave.
  unsigned Enter();
  void Leave(unsigned ticket);
  bool Contains(const void* node) const;

  // Returns once every producer that entered before the call has left.
  void WaitForReaders();

  size_t Count() const { return m_nCount; }  // writers only

 private:
  struct Table {
    size_t m_nMask = 0;  // capacity - 1 (a power of two)
    std::atomic<uintptr_t>* m_pSlots = nullptr;
  };
  static const unsigned kStripes = 16;
  struct alignas(64) Stripe {
    std::atomic<int64_t> m_nIn{0};
  };
  static size_t Hash(uintptr_t v, size_t mask);
  bool Grow();

  std::atomic<Table*> m_pTable{nullptr};
  std::vector<Table*> m_Tables;  // every table ever made (writers only)
  size_t m_nCount = 0;           // listed addresses (writers only)
  size_t m_nUsed = 0;            // listed plus removed marks (writers only)
  std::atomic<unsigned> m_nParity{0};
  Stripe m_Stripes[2][kStripes];
  Mutex m_RemoverLock;
};

#endif  // ZEP_FRAME_ZEPFRAME_REGISTRY_H

// The liveness watcher names the clients it waits on by watch id, not by descriptor number: a
// client that left while the watcher waited is never confused with one that registered meanwhile
// and happens to hold the same descriptor numbers.
#include <gtest/gtest.h>

#include "clients/clients.h"

namespace {

ClientRecord* Add(ClientTable& table, uint32_t window, int processHandle, int closedHandle) {
  auto* r = new ClientRecord;
  r->window = window;
  r->processId = 1000 + static_cast<int32_t>(window);
  r->processHandle = processHandle;
  r->windowClosedHandle = closedHandle;
  r->watchId = ++table.lastWatchId;
  table.records.push_back(r);
  return r;
}

void Remove(ClientTable& table, size_t i) {
  delete table.records[i];
  table.records.erase(table.records.begin() + static_cast<ptrdiff_t>(i));
}

}  // namespace

TEST(WatcherClaim, AnEntryOfAClientThatLeftNeverClaimsItsSuccessor) {
  ClientTable table;
  ClientRecord* x = Add(table, 0x10001, 7, 8);
  // The wait list was built while X was registered; X's process handle became ready.
  WatchEntry seen{x->processHandle, x->watchId};
  // Before the watcher takes the lock: X leaves, Y arrives and its handles get X's numbers.
  Remove(table, 0);
  ClientRecord* y = Add(table, 0x10002, 7, 8);

  EXPECT_EQ(ClaimEndedClient(table, seen), 0u);
  EXPECT_NE(y->processId, 0) << "Y was taken for X";

  // Y's own entries still claim Y, once.
  EXPECT_EQ(ClaimEndedClient(table, WatchEntry{y->windowClosedHandle, y->watchId}), 0x10002u);
  EXPECT_EQ(y->processId, 0);
  EXPECT_EQ(ClaimEndedClient(table, WatchEntry{y->processHandle, y->watchId}), 0u);
  Remove(table, 0);
}

TEST(WatcherClaim, EachClientIsClaimedByItsOwnEntryAmongSeveral) {
  ClientTable table;
  ClientRecord* a = Add(table, 0x10001, 10, 11);
  ClientRecord* b = Add(table, 0x10002, 12, 13);
  ClientRecord* c = Add(table, 0x10003, 14, 15);
  EXPECT_EQ(ClaimEndedClient(table, WatchEntry{b->processHandle, b->watchId}), 0x10002u);
  EXPECT_NE(a->processId, 0);
  EXPECT_EQ(b->processId, 0);
  EXPECT_NE(c->processId, 0);
  while (!table.records.empty()) Remove(table, 0);
}

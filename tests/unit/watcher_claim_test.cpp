// The liveness watcher names the clients it waits on by watch id, not by descriptor number: a
// client that left while the watcher waited is never confused with one that registered meanwhile
// and happens to hold the same descriptor numbers.
#include <gtest/gtest.h>

#include "clients/clients.h"

namespace {

// A record as AddClient enters it; its handles (which a successor may get the numbers of) do not
// take part in the claim.
ClientRecord* Add(ClientTable& table, uint32_t window) {
  auto* r = new ClientRecord;
  r->window = window;
  r->processId = 1000 + static_cast<int32_t>(window);
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
  ClientRecord* x = Add(table, 0x10001);
  // The wait list was built while X was registered; X's process handle became ready.
  uint64_t seen = x->watchId;
  // Before the watcher takes the lock: X leaves, Y arrives (its handles may well get X's numbers).
  Remove(table, 0);
  ClientRecord* y = Add(table, 0x10002);

  EXPECT_EQ(ClaimEndedClient(table, seen), 0u);
  EXPECT_NE(y->processId, 0) << "Y was taken for X";

  // Y's own entries still claim Y, once.
  EXPECT_EQ(ClaimEndedClient(table, y->watchId), 0x10002u);
  EXPECT_EQ(y->processId, 0);
  EXPECT_EQ(ClaimEndedClient(table, y->watchId), 0u);
  Remove(table, 0);
}

TEST(WatcherClaim, EachClientIsClaimedByItsOwnEntryAmongSeveral) {
  ClientTable table;
  ClientRecord* a = Add(table, 0x10001);
  ClientRecord* b = Add(table, 0x10002);
  ClientRecord* c = Add(table, 0x10003);
  EXPECT_EQ(ClaimEndedClient(table, b->watchId), 0x10002u);
  EXPECT_NE(a->processId, 0);
  EXPECT_EQ(b->processId, 0);
  EXPECT_NE(c->processId, 0);
  while (!table.records.empty()) Remove(table, 0);
}

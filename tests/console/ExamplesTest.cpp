// The two example modules loaded into a process whose console they take part in.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "tests/console/ConsoleFixture.h"

namespace {

using testing_support::ConsoleFixture;
using testing_support::TcpTestClient;

// The ticks the orders module has counted, as its stats command tells them.
long Ticks(TcpTestClient& client) {
  std::size_t mark = client.Mark();
  if (!ConsoleFixture::Type(client, "specdbgcmd LIBEXAMPLE_ORDERS.SO stats", "trace lines printed")) return -1;
  std::size_t at = client.Received().find("orders: ticks ", mark);
  return std::stol(client.Received().substr(at + 14));
}

TEST(ConsoleWithExamples, TracesAreSteeredAndTheirLinesReachEveryClient) {
  void* orders = dlopen(EXAMPLE_ORDERS, RTLD_NOW);
  void* legacy = dlopen(EXAMPLE_LEGACY, RTLD_NOW);
  ASSERT_TRUE(orders != nullptr && legacy != nullptr) << dlerror();
  {
    ConsoleFixture fixture;
    auto typing = fixture.Connect();
    auto watching = fixture.Connect();
    ASSERT_TRUE(typing && watching);
    // Quiet until a trace is raised; then its lines reach both clients.
    EXPECT_TRUE(ConsoleFixture::Type(*typing, "dbg OrderBook+", "Debug: OrderBook(2) in libexample_orders.so\r\n"));
    for (TcpTestClient* client : {typing.get(), watching.get()}) {
      EXPECT_TRUE(client->WaitForText("OrderBook level 1: tick "));
      EXPECT_TRUE(client->WaitForText("OrderBook level 2: tick "));
    }
    // The legacy module takes the name, but without a listener of its own its answer reaches nobody.
    std::size_t mark = typing->Mark();
    EXPECT_TRUE(ConsoleFixture::Type(*typing, "dbg legacyfeed\r\nzz", "'zz' is not recognized"));
    EXPECT_EQ(typing->Received().find("Invalid Debug name", mark), std::string::npos);
    // Lowered again, the traces print nothing more, tick after tick.
    ASSERT_TRUE(ConsoleFixture::Type(*typing, "dbg OrderBook---", "Debug: OrderBook("));
    long lowered = Ticks(*typing);
    mark = watching->Mark();
    EXPECT_TRUE(testing_support::WaitFor([&] { return Ticks(*typing) >= lowered + 2; }));
    EXPECT_EQ(watching->Received().find(" level ", mark), std::string::npos);
  }
  dlclose(legacy);
  dlclose(orders);
}

}  // namespace

// The change buffer on its own: record layout, capacity, wrapped drains.
#include <gtest/gtest.h>

#include <deque>
#include <random>

#include "capture/change_buffer.h"
#include "sim/korpro_sim.h"
#include "tests/online_rig.h"

namespace {

using korpro_sim::LogLine;
using online_test::kFirstHostId;

const LogLine kOverflow{64, "TELDRV> AddInBuffer() error, on-line gate buffer overflow, gate change missed!"};

class ChangeBufferTest : public ::testing::Test {
protected:
    void SetUp() override {
        korpro_sim::Reset();
        SetContextDefaults(&ctx);
    }
    void Install(uint16_t gates, uint16_t capacity) { tables.Install(&ctx, gates, capacity); }

    // A value change of station gate `gate` carrying serial number n.
    void Add(uint16_t gate, uint32_t n) {
        AddInBuffer(&ctx, static_cast<uint16_t>(kFirstHostId + gate), 0, n, ~n, 0x44332211u + n, 0x6655);
    }
    // The serial numbers of one drain, in order.
    std::vector<uint32_t> Drain() {
        uint8_t out[64 * 16 + 16];
        std::fill(std::begin(out), std::end(out), 0xCC);
        const uint16_t n = GetFromBuffer(&ctx, out, 64);
        EXPECT_LE(n, 64);
        // Nothing written beyond the records copied.
        EXPECT_EQ(out[n * 16], 0xCC);
        std::vector<uint32_t> numbers;
        for (uint16_t i = 0; i < n; ++i) {
            const uint8_t* record = out + i * 16;
            numbers.push_back(record[2] | (record[3] << 8) | (record[4] << 16) | (uint32_t{record[5]} << 24));
        }
        return numbers;
    }
    uint16_t Read() const { return ctx.changeRead; }
    uint16_t Written() const { return ctx.changeWrite; }

    StationContext ctx{};
    online_test::StationTables tables;
};

TEST_F(ChangeBufferTest, RecordsCarryTheWireLayoutAndTheFirstGoesToIndexOne) {
    Install(300, 16);
    AddInBuffer(&ctx, kFirstHostId + 291, 0, 0x04030201, 0x08070605, 0x0C0B0A09, 0x0E0D);
    EXPECT_EQ(Written(), 1);
    // Only bit 0 of the status argument counts.
    AddInBuffer(&ctx, kFirstHostId + 5, 0xFE | 1, 0, 0, 0xDDCCBBAA, 0xFFEE);
    AddInBuffer(&ctx, kFirstHostId + 5, 0xFE, 0, 0, 0, 0);

    uint8_t out[64 * 16];
    ASSERT_EQ(GetFromBuffer(&ctx, out, 64), 3);
    EXPECT_EQ(Read(), 3);
    const std::vector<uint8_t> bytes(out, out + 48);
    EXPECT_EQ(bytes, (std::vector<uint8_t>{
                         0x23, 0x01, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14,                        //
                         0x05, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF,        //
                         0x05, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(GetFromBuffer(&ctx, out, 64), 0);
    EXPECT_TRUE(korpro_sim::Log().empty());
}

TEST_F(ChangeBufferTest, OneSlotStaysFreeTheOverflowIsLoggedAndFullDrainsGoSixtyFourAtATime) {
    Install(4, 1024);
    for (uint32_t n = 1; n <= 1023; ++n) Add(n % 4, n);
    EXPECT_TRUE(korpro_sim::Log().empty());
    Add(0, 1024);
    EXPECT_EQ(korpro_sim::Log(), std::vector<LogLine>{kOverflow});

    uint32_t expected = 1;
    for (int drain = 0; drain < 16; ++drain) {
        const std::vector<uint32_t> numbers = Drain();
        ASSERT_EQ(numbers.size(), drain < 15 ? 64u : 63u) << "drain " << drain;
        for (uint32_t n : numbers) EXPECT_EQ(n, expected++);
    }
    EXPECT_TRUE(Drain().empty());
    EXPECT_EQ(Read(), 1023);
    // The buffer takes changes again, across the end of its storage.
    Add(1, 2000);
    Add(2, 2001);
    EXPECT_EQ(Drain(), (std::vector<uint32_t>{2000, 2001}));
    EXPECT_EQ(Read(), 1);
}

TEST_F(ChangeBufferTest, AWrappedDrainTakesTheTailThenTheHead) {
    Install(4, 1024);
    ctx.changeRead = 1019;
    ctx.changeWrite = 1019;
    for (uint32_t n = 1; n <= 10; ++n) Add(0, n);
    EXPECT_EQ(Written(), 5);
    EXPECT_EQ(Drain(), (std::vector<uint32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    EXPECT_EQ(Read(), 5);

    // Nothing left in the tail: the drain starts at index 0.
    ctx.changeRead = 1023;
    ctx.changeWrite = 1023;
    for (uint32_t n = 11; n <= 13; ++n) Add(0, n);
    EXPECT_EQ(Drain(), (std::vector<uint32_t>{11, 12, 13}));
    EXPECT_EQ(Read(), 2);

    // A tail shorter than 64 with more than 64 waiting: 64 in two pieces.
    ctx.changeRead = 1000;
    ctx.changeWrite = 1000;
    for (uint32_t n = 1; n <= 100; ++n) Add(0, n);
    std::vector<uint32_t> first = Drain();
    ASSERT_EQ(first.size(), 64u);
    EXPECT_EQ(first.front(), 1u);
    EXPECT_EQ(first.back(), 64u);
    EXPECT_EQ(Read(), 40);
    EXPECT_EQ(Drain().size(), 36u);
}

TEST_F(ChangeBufferTest, ChangesOfGatesThatAreNotStationGatesAreDroppedSilently) {
    Install(3, 16);
    tables.map[kFirstHostId + 1] = -1;
    tables.map[kFirstHostId + 2] = -32768;  // no 15-bit index: never stored under another number
    AddInBuffer(&ctx, kFirstHostId + 1, 0, 1, 2, 3, 4);
    AddInBuffer(&ctx, kFirstHostId + 2, 0, 1, 2, 3, 4);
    AddInBuffer(&ctx, ctx.gateIdMapSize, 0, 1, 2, 3, 4);
    AddInBuffer(&ctx, 0xFFFF, 1, 1, 2, 3, 4);
    ctx.gateIdMap = nullptr;
    AddInBuffer(&ctx, kFirstHostId, 0, 1, 2, 3, 4);
    EXPECT_EQ(Written(), 0);
    EXPECT_TRUE(Drain().empty());
    EXPECT_TRUE(korpro_sim::Log().empty());
}

TEST_F(ChangeBufferTest, ACapacityOfOneHoldsNothingAndNoBufferDoesNothing) {
    Install(2, 1);
    Add(0, 1);
    Add(1, 2);
    EXPECT_EQ(korpro_sim::Log(), (std::vector<LogLine>{kOverflow, kOverflow}));
    EXPECT_TRUE(Drain().empty());

    korpro_sim::ClearLog();
    Install(2, 0);  // no buffer at all
    Add(0, 1);
    EXPECT_TRUE(Drain().empty());
    EXPECT_TRUE(korpro_sim::Log().empty());
}

// Random appends and drains of random sizes against a plain queue, for
// capacities around the 64-record drain size: every wrap position shows.
TEST_F(ChangeBufferTest, AnyMixOfAppendsAndDrainsKeepsOrderAndCount) {
    std::mt19937 random(7);
    for (uint16_t capacity : {2, 3, 10, 63, 64, 65, 66, 127, 129, 300}) {
        Install(8, capacity);
        korpro_sim::ClearLog();
        std::deque<uint32_t> model;
        uint32_t next = 1;
        size_t overflows = 0;
        for (int step = 0; step < 3000; ++step) {
            if (random() % 3 != 0) {
                const int burst = static_cast<int>(random() % 40);
                for (int i = 0; i < burst; ++i, ++next) {
                    Add(next % 8, next);
                    if (model.size() < capacity - 1u) {
                        model.push_back(next);
                    } else {
                        ++overflows;
                    }
                }
            } else {
                uint8_t out[64 * 16];
                const uint16_t limit = static_cast<uint16_t>(random() % 70);
                const uint16_t n = GetFromBuffer(&ctx, out, limit);
                ASSERT_EQ(n, std::min<size_t>({model.size(), limit, 64})) << "capacity " << capacity;
                for (uint16_t i = 0; i < n; ++i) {
                    const uint8_t* record = out + i * 16;
                    const uint32_t got = record[2] | (record[3] << 8) | (record[4] << 16) | (uint32_t{record[5]} << 24);
                    ASSERT_EQ(got, model.front()) << "capacity " << capacity << " step " << step;
                    EXPECT_EQ(record[0], got % 8);
                    model.pop_front();
                }
            }
        }
        EXPECT_EQ(korpro_sim::Log().size(), overflows);
    }
}

}  // namespace

// The variable table: lookups, inserts, debug form, shard choice, hashing,
// the hash cache of names, and concurrent use.

#include <sched.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "identifier_hash.hpp"
#include "quarn/eval.hpp"
#include "quarn/machine.hpp"
#include "random_keys.hpp"
#include "shard_count.hpp"
#include "siphash.hpp"
#include "support.hpp"

using namespace quarn;
using namespace quarn::test_support;

namespace {

Value num(std::int64_t n) { return Value::integer(n); }

// Reference outputs of SipHash-2-4 with key 00..0f over messages 00..(len-1).
constexpr std::uint64_t kSip24[64] = {
    0x726fdb47dd0e0e31ull, 0x74f839c593dc67fdull, 0x0d6c8009d9a94f5aull, 0x85676696d7fb7e2dull,
    0xcf2794e0277187b7ull, 0x18765564cd99a68dull, 0xcbc9466e58fee3ceull, 0xab0200f58b01d137ull,
    0x93f5f5799a932462ull, 0x9e0082df0ba9e4b0ull, 0x7a5dbbc594ddb9f3ull, 0xf4b32f46226bada7ull,
    0x751e8fbc860ee5fbull, 0x14ea5627c0843d90ull, 0xf723ca908e7af2eeull, 0xa129ca6149be45e5ull,
    0x3f2acc7f57c29bdbull, 0x699ae9f52cbe4794ull, 0x4bc1b3f0968dd39cull, 0xbb6dc91da77961bdull,
    0xbed65cf21aa2ee98ull, 0xd0f2cbb02e3b67c7ull, 0x93536795e3a33e88ull, 0xa80c038ccd5ccec8ull,
    0xb8ad50c6f649af94ull, 0xbce192de8a85b8eaull, 0x17d835b85bbb15f3ull, 0x2f2e6163076bcfadull,
    0xde4daaaca71dc9a5ull, 0xa6a2506687956571ull, 0xad87a3535c49ef28ull, 0x32d892fad841c342ull,
    0x7127512f72f27cceull, 0xa7f32346f95978e3ull, 0x12e0b01abb051238ull, 0x15e034d40fa197aeull,
    0x314dffbe0815a3b4ull, 0x027990f029623981ull, 0xcadcd4e59ef40c4dull, 0x9abfd8766a33735cull,
    0x0e3ea96b5304a7d0ull, 0xad0c42d6fc585992ull, 0x187306c89bc215a9ull, 0xd4a60abcf3792b95ull,
    0xf935451de4f21df2ull, 0xa9538f0419755787ull, 0xdb9acddff56ca510ull, 0xd06c98cd5c0975ebull,
    0xe612a3cb9ecba951ull, 0xc766e62cfcadaf96ull, 0xee64435a9752fe72ull, 0xa192d576b245165aull,
    0x0a8787bf8ecb74b2ull, 0x81b3e73d20b49b6full, 0x7fa8220ba3b2eceaull, 0x245731c13ca42499ull,
    0xb78dbfaf3a8d83bdull, 0xea1ad565322a1a0bull, 0x60e61c23a3795013ull, 0x6606d7e446282b93ull,
    0x6ca4ecb15c5f91e1ull, 0x9f626da15c9625f3ull, 0xe51b38608ef25f57ull, 0x958a324ceb064572ull,
};

constexpr std::uint64_t kKey0 = 0x0706050403020100ull, kKey1 = 0x0f0e0d0c0b0a0908ull;

}  // namespace

TEST(Machine, GetOfUnboundNameIsFatal) {
    Machine m = Machine::create();
    EXPECT_EQ(fatal_message([&] { m.get(Identifier::S("x")); }), "Value cannot be found: S(\"x\")");
    EXPECT_EQ(fatal_message([&] { m.get(Identifier::U(3)); }), "Value cannot be found: U(3)");
    EXPECT_EQ(fatal_message([&] { m.get(Identifier::S("a\"\n")); }),
              "Value cannot be found: S(\"a\\\"\\n\")");
    EXPECT_FALSE(m.vars.lookup(Identifier::S("")));
}

TEST(Machine, NumberedAndTextualNamesDiffer) {
    Machine m = Machine::create();
    m.vars.insert(Identifier::U(1), num(10));
    EXPECT_FALSE(m.vars.lookup(Identifier::S("1")));
    EXPECT_EQ(fatal_message([&] { m.get(Identifier::S("1")); }), "Value cannot be found: S(\"1\")");
    m.vars.insert(Identifier::S("1"), num(20));
    EXPECT_EQ(debug_string(m.get(Identifier::U(1))), "Number(Int(10))");
    EXPECT_EQ(debug_string(m.get(Identifier::S("1"))), "Number(Int(20))");
}

TEST(Machine, InsertReplacesAndReturnsOldValue) {
    Machine m = Machine::create();
    Value first = S("one"), second = S("two");
    EXPECT_FALSE(m.vars.insert(Identifier::S("x"), first));
    Value handed_out = m.get(Identifier::S("x"));
    EXPECT_TRUE(handed_out.same_cell(first));
    std::optional<Value> replaced = m.vars.insert(Identifier::S("x"), second);
    ASSERT_TRUE(replaced);
    EXPECT_TRUE(replaced->same_cell(first));
    EXPECT_TRUE(m.get(Identifier::S("x")).same_cell(second));
    EXPECT_EQ(first.use_count(), 3u);  // first, handed_out, replaced; none left in the table
    EXPECT_EQ(debug_string(handed_out), "String(\"one\")");
    EXPECT_EQ(m.debug(), "Machine { vars: {S(\"x\"): String(\"two\")} }");
    // A bound Null is a binding like any other.
    m.vars.insert(Identifier::U(0), Value());
    ASSERT_TRUE(m.vars.lookup(Identifier::U(0)));
}

TEST(Machine, DebugForm) {
    Machine m = Machine::create();
    EXPECT_EQ(m.debug(), "Machine { vars: {} }");
    m.vars.insert(Identifier::S("x"), num(1));
    EXPECT_EQ(m.debug(), "Machine { vars: {S(\"x\"): Number(Int(1))} }");
    m.vars.insert(Identifier::U(7), vec({num(1)}));
    std::string d = m.debug();
    EXPECT_TRUE(d == "Machine { vars: {S(\"x\"): Number(Int(1)), U(7): Vector([Number(Int(1))])} }" ||
                d == "Machine { vars: {U(7): Vector([Number(Int(1))]), S(\"x\"): Number(Int(1))} }")
        << d;
}

TEST(Machine, MachinesDoNotShareVariablesOrKeys) {
    Machine a = Machine::create();
    Machine b = Machine::create();
    a.vars.insert(Identifier::S("x"), num(1));
    EXPECT_FALSE(b.vars.lookup(Identifier::S("x")));
    // Each table on a thread takes fresh keys.
    EXPECT_NE(a.vars.hash(Identifier::S("x")), b.vars.hash(Identifier::S("x")));
}

TEST(Machine, ManyEntriesGrowEveryShard) {
    Machine m = Machine::create();
    // About 64 names a shard: the chance that one shard gets none is nil.
    const int n = static_cast<int>(m.vars.shard_count()) * 64;
    for (int i = 0; i < n; ++i) {
        m.vars.insert(Identifier::U(i), num(i));
        m.vars.insert(Identifier::S(std::to_string(i)), num(-i));
    }
    std::vector<int> per_shard(m.vars.shard_count());
    for (int i = 0; i < n; ++i) {
        ASSERT_EQ(debug_string(m.get(Identifier::U(i))), "Number(Int(" + std::to_string(i) + "))");
        ASSERT_EQ(debug_string(m.get(Identifier::S(std::to_string(i)))),
                  "Number(Int(" + std::to_string(-i) + "))");
        ++per_shard[m.vars.shard_of(m.vars.hash(Identifier::U(i)))];
    }
    for (int count : per_shard) EXPECT_GT(count, 0);
}

// Four shards or more per thread the process may run on, so that threads
// working on one machine rarely meet on a lock; a power of two, so that a
// hash picks one with a shift.
TEST(Shards, EnoughForEveryThreadAndAPowerOfTwo) {
    cpu_set_t set;
    ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
    std::size_t n = Machine::create().vars.shard_count();
    EXPECT_GE(n, 4u * static_cast<std::size_t>(CPU_COUNT(&set)));
    EXPECT_EQ(n & (n - 1), 0u);
    EXPECT_EQ(shard_count_for(0), 4u);  // when the count cannot be found
}

TEST(Shards, AssertionsOnConstruction) {
    EXPECT_EQ(fatal_message([] { VarTable t(1); }), "assertion failed: shard_amount > 1");
    EXPECT_EQ(fatal_message([] { VarTable t(0); }), "assertion failed: shard_amount > 1");
    EXPECT_EQ(fatal_message([] { VarTable t(6); }), "assertion failed: shard_amount.is_power_of_two()");
    EXPECT_EQ(VarTable(2).shard_count(), 2u);
}

// Keys come from the kernel; where it refuses (ENOSYS, or EPERM under a
// seccomp filter) from the next source, and where every source fails from
// the clock, never from a loop waiting for randomness.
TEST(RandomKeys, EachSourceInTurnThenTheClock) {
    RandomSource refusing = [](void*, std::size_t) { return false; };
    RandomSource fixed = [](void* out, std::size_t n) {
        std::memset(out, 0xAB, n);
        return true;
    };
    std::uint64_t a[2], b[2];
    RandomSource second_works[] = {refusing, fixed};
    draw_keys(a, second_works);
    EXPECT_EQ(a[0], 0xABABABABABABABABu);
    RandomSource none_works[] = {refusing, refusing};
    draw_keys(a, none_works);
    draw_keys(b, none_works);
    EXPECT_TRUE(a[0] != b[0] || a[1] != b[1]);
    EXPECT_TRUE(from_getrandom(a, sizeof a));
    EXPECT_TRUE(from_urandom(b, sizeof b));
}

TEST(SipHash, ReferenceVectors24) {
    std::uint8_t msg[64];
    for (int i = 0; i < 64; ++i) msg[i] = static_cast<std::uint8_t>(i);
    for (std::size_t len = 0; len < 64; ++len) {
        SipHasher<2, 4> whole(kKey0, kKey1);
        whole.write(msg, len);
        EXPECT_EQ(whole.finish(), kSip24[len]) << len;
        // Feeding the same bytes in uneven pieces must not change the result.
        SipHasher<2, 4> pieces(kKey0, kKey1);
        for (std::size_t at = 0, step = 1; at < len; at += step, step = step % 5 + 1)
            pieces.write(msg + at, std::min(step, len - at));
        EXPECT_EQ(pieces.finish(), kSip24[len]) << len;
    }
}

TEST(SipHash, Rounds13AndIdentifierInput) {
    std::uint8_t msg[16];
    for (int i = 0; i < 16; ++i) msg[i] = static_cast<std::uint8_t>(i);
    const std::pair<std::size_t, std::uint64_t> cases[] = {
        {0, 0xabac0158050fc4dcull}, {1, 0xc9f49bf37d57ca93ull}, {7, 0xd3927d989bb11140ull},
        {8, 0x369095118d299a8eull}, {15, 0xd320d86d2a519956ull},
    };
    for (auto [len, expected] : cases) {
        SipHasher<1, 3> h(kKey0, kKey1);
        h.write(msg, len);
        EXPECT_EQ(h.finish(), expected) << len;
    }
    SipHasher<1, 3> a(kKey0, kKey1), b(kKey0, kKey1);  // write_u64 feeds the word little-endian
    a.write_u64(0x0706050403020100ull);
    a.write(msg + 8, 3);
    b.write(msg, 11);
    EXPECT_EQ(a.finish(), b.finish());

    // Identifier input: variant word, then the number or the text and 0xff.
    auto hash = [](const Identifier& id) {
        SipHasher<1, 3> h(kKey0, kKey1);
        hash_identifier(h, id);
        return h.finish();
    };
    EXPECT_NE(hash(Identifier::U(0)), hash(Identifier::S("")));
    EXPECT_NE(hash(Identifier::U(0x31)), hash(Identifier::S("1")));
    EXPECT_NE(hash(Identifier::S("ab")), hash(Identifier::S("a")));
    // The one-pass hash of the table agrees with the streaming one, for every
    // length of text around the word boundaries.
    for (std::size_t n = 0; n < 40; ++n) {
        std::string text;
        for (std::size_t i = 0; i < n; ++i) text += static_cast<char>('a' + i % 26);
        SipHasher<1, 3> stream(kKey0, kKey1);
        hash_identifier(stream, Identifier::S(text));
        EXPECT_EQ(sip13_identifier(kKey0, kKey1, IdentifierView::S(text)), stream.finish()) << n;
    }
    SipHasher<1, 3> number(kKey0, kKey1);
    hash_identifier(number, Identifier::U(UINT64_MAX));
    EXPECT_EQ(sip13_identifier(kKey0, kKey1, IdentifierView::U(UINT64_MAX)), number.finish());
}

TEST(Machine, ConcurrentReadersSeeWholeValues) {
    Machine m = Machine::create();
    const Identifier id = Identifier::S("shared");
    auto make = [](int gen) {
        std::vector<Value> items(16, num(gen));
        return Value::vector(items);
    };
    m.vars.insert(id, make(0));
    std::atomic<int> bad{0};
    constexpr int kLast = 2000;
    std::vector<std::thread> readers;
    for (int r = 0; r < 4; ++r) {
        readers.emplace_back([&] {
            std::int64_t last = 0;
            // Until the last generation shows up, with a bound on the work.
            for (int i = 0; i < 200000 && last < kLast; ++i) {
                Value v = m.get(id);
                auto items = v.as_vector();
                std::int64_t gen = items[0].as_int();
                if (items.size() != 16 || gen < last) ++bad;
                for (const Value& item : items)
                    if (item.as_int() != gen) ++bad;
                last = gen;
            }
        });
    }
    for (int gen = 1; gen <= kLast; ++gen) m.vars.insert(id, make(gen));
    for (auto& t : readers) t.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(m.get(id).as_vector()[0].as_int(), kLast);
}

// Numbers are read without the lock. The writer moves the binding between
// ints that are multiples of 1024, floats with a fraction, and texts; a
// read that paired one write's kind with another's word would show an int
// with low bits set, a float below 1, or a text that was never written.
TEST(Machine, ReadersWithoutTheLockNeverMixTwoWrites) {
    Machine m = Machine::create();
    const Identifier id = Identifier::S("x");
    m.vars.insert(id, Value::integer(0));
    std::atomic<bool> done{false};
    std::atomic<int> bad{0}, texts{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; ++r) {
        readers.emplace_back([&] {
            while (!done.load(std::memory_order_relaxed)) {
                Value v = m.get(id);
                Number n = v.kind() == Kind::Number ? v.as_number() : Number::Int(0);
                if (v.kind() == Kind::String) {
                    texts.fetch_add(1, std::memory_order_relaxed);
                    if (v.as_string() != "text") ++bad;
                } else if (v.kind() != Kind::Number || (n.is_int ? (n.i % 1024) != 0 : !(n.f >= 1.0))) {
                    ++bad;
                }
            }
        });
    }
    for (int gen = 1; gen <= 1000000; ++gen) {
        Value next = gen % 3 == 0 ? Value::integer(std::int64_t(gen) * 1024)
                   : gen % 3 == 1 ? Value::real(gen + 0.25)
                                  : Value::string("text");
        m.vars.insert(id, std::move(next));
    }
    done = true;
    for (auto& t : readers) t.join();
    EXPECT_EQ(bad.load(), 0);
}

// One tree run on two machines in turn: each table has its own binding of
// A read of a text, a vector or a function takes the binding's lock but
// writes nothing: the version a run remembered (a loop of calls reuses its
// handle to the function while the version holds) stays; a write moves it.
TEST(Machine, ReadsLeaveTheBindingsVersionAlone) {
    Machine m = Machine::create();
    m.vars.insert(Identifier::S("t"), S("text"));
    const Binding& binding = m.binding(Identifier::S("t"));
    std::uint32_t version = binding.version();
    EXPECT_EQ(m.get(Identifier::S("t")).as_string(), "text");
    EXPECT_EQ(binding.version(), version);
    m.vars.insert(Identifier::S("t"), S("other"));
    EXPECT_NE(binding.version(), version);
}

// Writers of one name through programs, as the evaluator writes: numbers by
// the sequence lock alone, a text under the shard's lock, all at once. They
// must take turns, and a reader must see one write's value whole: an int
// from one writer and a float from the other never mix into one value.
TEST(Machine, WritersWithoutTheShardLockTakeTurns) {
    Machine m = Machine::create();
    const Identifier id = Identifier::S("x");
    m.vars.insert(id, Value::integer(0));
    std::atomic<bool> done{false};
    std::atomic<int> bad{0};
    auto writer = [&](Value value) {
        Statement bind = let("x", lit(std::move(value)));
        for (int i = 0; i < 200000; ++i) run(m, bind);
    };
    std::thread reader([&] {
        while (!done.load(std::memory_order_relaxed)) {
            Value v = m.get(id);
            bool whole = v.kind() == Kind::String ? v.as_string() == "text"
                         : v.is_int()             ? v.as_int() % 1024 == 0
                                                  : v.kind() == Kind::Number && v.as_number().f >= 1.0;
            if (!whole) ++bad;
        }
    });
    std::thread ints(writer, Value::integer(std::int64_t{3} << 40)), floats(writer, Value::real(1.5)),
        texts(writer, Value::string("text"));
    ints.join();
    floats.join();
    texts.join();
    done = true;
    reader.join();
    EXPECT_EQ(bad.load(), 0);
}

// a name, and the name's cache must never hand one table the other's.
TEST(CachedBinding, NamesRunOnSeveralMachinesFindTheirOwnBindings) {
    Machine a = Machine::create(), b = Machine::create();
    Expr sum = Expr::binary_op(id("x"), Operator::Add, id("y"));
    Program program{let("z", sum)};
    run(a, {let("x", lit(I(1))), let("y", lit(I(2)))});
    run(b, {let("x", lit(I(10))), let("y", lit(I(20)))});
    for (int round = 0; round < 3; ++round) {
        run(a, program);
        run(b, program);
        EXPECT_EQ(a.get(Identifier::S("z")).as_int(), 3);
        EXPECT_EQ(b.get(Identifier::S("z")).as_int(), 30);
    }
}

// A machine made where a dead one was may get its memory, even its
// bindings' addresses; a name that remembers the dead table's binding must
// still miss.
TEST(CachedBinding, NamesOutliveTheirMachines) {
    Program read{let("y", id("x"))};
    for (int round = 0; round < 3; ++round) {
        Machine m = Machine::create();
        run(m, {let("x", lit(I(round)))});
        run(m, read);
        EXPECT_EQ(m.get(Identifier::S("y")).as_int(), round);
    }
}

// Names remember their bindings while the table grows past many sizes; a
// binding that moved as its shard grew would be read after it was freed.
TEST(CachedBinding, BindingsStayPutWhileTheTableGrows) {
    Machine m = Machine::create();
    Program bind, read;
    std::vector<Expr> names;
    for (int i = 0; i < 2000; ++i) {
        std::string name = "x" + std::to_string(i);
        bind.push_back(let(name.c_str(), lit(I(i))));
        names.push_back(id(name.c_str()));
    }
    read.push_back(let("all", vexpr(names)));
    for (int round = 0; round < 2; ++round) {
        run(m, bind);
        run(m, read);
        auto all = m.get(Identifier::S("all")).as_vector();
        ASSERT_EQ(all.size(), 2000u);
        for (int i = 0; i < 2000; ++i) EXPECT_EQ(all[i].as_int(), i);
    }
}

TEST(CachedBinding, ConcurrentUseFromTwoTables) {
    CachedBinding cache;
    std::atomic<int> wrong{0};
    auto worker = [&](std::uint64_t table, Binding* binding) {
        for (int i = 0; i < 200000; ++i) {
            if (Binding* b = cache.get(table); b && b != binding) ++wrong;
            cache.put(table, binding);
        }
    };
    alignas(8) char places[2];
    std::thread t1(worker, 1, reinterpret_cast<Binding*>(&places[0])),
        t2(worker, 2, reinterpret_cast<Binding*>(&places[1]));
    t1.join();
    t2.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(CachedBinding().get(1), nullptr);
}

// A machine whose host serialises every use gives every run the results of
// one that takes its locks, through the table's cache of the names bound
// lately too: many names built anew, colliding in its few slots, and texts
// grown in place.
TEST(Writers, SerializedRunsAsConcurrentDoes) {
    auto program = [] {
        Program p{let("s", lit(S("")))};
        for (int i = 0; i < 300; ++i) {
            std::string name = "n" + std::to_string(i % 97) + std::string(i % 23, 'x');
            p.push_back(Statement::let(Identifier::S(name), Expr::binary_op(lit(I(i)), Operator::Mul, lit(I(3)))));
            p.push_back(let("s", Expr::binary_op(id("s"), Operator::Add, lit(S("ab")))));
            p.push_back(Statement::let(Identifier::U(static_cast<std::uint64_t>(i % 41)), lit(F(i * 0.5))));
        }
        return p;
    };
    Machine concurrent = Machine::create({}, Writers::Concurrent), serialized = Machine::create({}, Writers::Serialized);
    for (int round = 0; round < 3; ++round) {  // names new each round, then the same trees again
        Program p = program();
        run(concurrent, p);
        run(serialized, p);
        run(serialized, p);
    }
    EXPECT_EQ(serialized.vars.size(), concurrent.vars.size());
    for (const Binding* binding : concurrent.vars.bindings())
        EXPECT_TRUE(equals(serialized.get(binding->id), concurrent.get(binding->id))) << debug_string(binding->id);
    EXPECT_EQ(serialized.get(IdentifierView::S("s")).as_string().size(), 2 * 300u);
    EXPECT_EQ(serialized.copy().vars.writers(), Writers::Serialized);
}

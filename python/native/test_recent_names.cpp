// The module's cache of the names that `get` was given lately. Objects are
// compared by address and never followed, so made-up addresses, a short
// str's block apart, stand in for them.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "recent_names.hpp"

namespace {

using quarn::IdentifierView;
using velmo::RecentNames;

const quarn::Binding* binding(std::uintptr_t n) { return reinterpret_cast<const quarn::Binding*>(n * 64); }

// `count` object addresses that all fall on one slot.
std::vector<PyObject*> on_one_slot(std::size_t count) {
    std::vector<PyObject*> found;
    std::size_t wanted = RecentNames::slot(reinterpret_cast<PyObject*>(std::uintptr_t{0x10000}));
    for (std::uintptr_t address = 0x10000; found.size() < count; address += 64) {
        auto* object = reinterpret_cast<PyObject*>(address);
        if (RecentNames::slot(object) == wanted) found.push_back(object);
    }
    return found;
}

TEST(RecentNames, TwoNamesOnOneSlotBothStay) {
    std::vector<PyObject*> objects = on_one_slot(3);
    RecentNames names;
    names.remember(objects[0], IdentifierView::S("total"), binding(1));
    names.remember(objects[1], IdentifierView::S("label"), binding(2));
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(names.find(objects[0], IdentifierView::S("total")), binding(1));
        EXPECT_EQ(names.find(objects[1], IdentifierView::S("label")), binding(2));
    }
    // A third displaces the oldest.
    names.remember(objects[2], IdentifierView::U(7), binding(3));
    EXPECT_EQ(names.find(objects[0], IdentifierView::S("total")), nullptr);
    EXPECT_EQ(names.find(objects[1], IdentifierView::S("label")), binding(2));
    EXPECT_EQ(names.find(objects[2], IdentifierView::U(7)), binding(3));
}

TEST(RecentNames, AnObjectThatNowNamesAnotherIdentifierMisses) {
    auto* object = reinterpret_cast<PyObject*>(std::uintptr_t{0x20000});
    RecentNames names;
    names.remember(object, IdentifierView::S("weight"), binding(1));
    EXPECT_EQ(names.find(object, IdentifierView::S("height")), nullptr);
    EXPECT_EQ(names.find(object, IdentifierView::U(1)), nullptr);
    names.remember(object, IdentifierView::S("height"), binding(2));
    EXPECT_EQ(names.find(object, IdentifierView::S("height")), binding(2));
    EXPECT_EQ(names.find(object, IdentifierView::S("weight")), nullptr);
}

TEST(RecentNames, NamesTooLongToCopyAreNotRemembered) {
    auto* object = reinterpret_cast<PyObject*>(std::uintptr_t{0x30000});
    RecentNames names;
    std::string long_name(23, 'n');
    names.remember(object, IdentifierView::S(long_name), binding(1));
    EXPECT_EQ(names.find(object, IdentifierView::S(long_name)), nullptr);
}

}  // namespace

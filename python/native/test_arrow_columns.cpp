// Output columns exported through the Arrow C Data Interface and read back
// as a producer's arrays are read: the layout written is the one the reader
// checks, and each exported struct is released once, whichever goes first.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "arrow_export.hpp"
#include "arrow_owned.hpp"
#include "arrow_reader.hpp"
#include "arrow_type.hpp"
#include "arrow_view.hpp"
#include "output_column.hpp"

namespace {

using namespace velmo::tables;
using quarn::Value;

NamedColumn built(const std::vector<Value>& values) {
    OutputColumn column;
    for (const Value& value : values) column.append(value);
    return {"c", column.finish()};
}

// The values read back from the column's exported array.
std::vector<std::string> round_trip(const NamedColumn& column, std::string* type = nullptr) {
    OwnedSchema schema;
    OwnedArray array;
    export_schema(column, schema.out());
    export_array(column, array.out());
    ArrowType read = read_type(*schema);
    if (type) *type = read.name;
    ArrayView view = view_array(*array, read);
    ArrowReader reader(view);
    std::vector<std::string> values;
    for (std::int64_t i = 0; i < view.length; ++i) {
        Value value = reader.value(i);
        values.push_back(value.kind() == quarn::Kind::Null     ? "null"
                         : value.kind() == quarn::Kind::String ? std::string(value.as_string())
                         : value.is_int()                      ? std::to_string(value.as_int())
                         : value.is_number()                   ? std::to_string(value.to_double())
                                                               : (value.as_bool() ? "true" : "false"));
    }
    return values;
}

TEST(ArrowColumns, EachKindComesBackAsWritten) {
    std::string type;
    EXPECT_EQ(round_trip(built({Value::integer(1), Value(), Value::integer(-3)}), &type),
              (std::vector<std::string>{"1", "null", "-3"}));
    EXPECT_EQ(type, "int64");
    EXPECT_EQ(round_trip(built({Value::integer(1), Value::real(0.5)}), &type),
              (std::vector<std::string>{"1.000000", "0.500000"}));
    EXPECT_EQ(type, "float64");
    EXPECT_EQ(round_trip(built({Value(), Value::string("ab"), Value::string("")}), &type),
              (std::vector<std::string>{"null", "ab", ""}));
    EXPECT_EQ(type, "utf8");
    EXPECT_EQ(round_trip(built({Value::boolean(true), Value::boolean(false), Value()}), &type),
              (std::vector<std::string>{"true", "false", "null"}));
    EXPECT_EQ(round_trip(built({Value(), Value()}), &type), (std::vector<std::string>{"null", "null"}));
    EXPECT_EQ(type, "null");
}

TEST(ArrowColumns, AValueOfAnotherKindDoesNotFit) {
    OutputColumn column;
    column.append(Value::string("a"));
    EXPECT_FALSE(column.fits(Value::integer(1)));
    EXPECT_TRUE(column.fits(Value()));
    EXPECT_FALSE(column.fits(Value::vector({})));
}

// The table's arrays hold the columns' memory after the columns are gone.
TEST(ArrowColumns, AnExportedTableOutlivesItsColumns) {
    OwnedSchema schema;
    OwnedArray array;
    {
        std::vector<NamedColumn> columns{built({Value::string("x"), Value::string("yz")})};
        export_table_schema(columns, schema.out());
        export_table_array(columns, 2, array.out());
    }
    ArrowType type = read_type(*schema);
    ArrayView batch = view_batch(*array, type, {0});
    ArrowReader reader(batch.children[0]);
    EXPECT_EQ(reader.value(1).as_string(), "yz");
    array.reset();
    EXPECT_FALSE(array);
}

}  // namespace

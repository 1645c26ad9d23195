#include "listing/amplitude_tables.h"

#include "listing/text/text_format.h"
#include "vexo/values.h"

namespace vexo {
namespace {

void set_value(AmplitudeField& field, double value) {
  char text[kFixedMax + 1];
  text[0] = ' ';
  const char* end = put_fixed(text + 1, value, 1, 5);
  set_field(field, text, static_cast<std::size_t>(end - text));
}

}  // namespace

void build_amplitude_tables(AmplitudeTables& tables) {
  for (int32_t b = 0; b < 256; ++b) {
    set_value(tables.db[b], amplitude_db(b));
    set_value(tables.ratio[b], amplitude_ratio(b));
    char text[8];
    text[0] = ' ';
    const char* end = put_int_right(text + 1, b, 5);
    set_field(tables.raw[b], text, static_cast<std::size_t>(end - text));
  }
  for (int32_t codes = 0; codes <= kMaxCodeSum; ++codes) {
    set_value(tables.sum_db[codes], mean_db(codes));
    set_value(tables.sum_ratio[codes], mean_ratio(codes));
  }
  tables.built = true;
}

}  // namespace vexo

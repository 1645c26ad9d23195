#include "listing/amplitude_tables.h"

#include "listing/amplitude_listing.h"
#include "listing/text_format.h"

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
    const double db = amplitude_db(b);
    set_value(tables.db[b], db);
    set_value(tables.ratio[b], ratio_of_db(db));
    char text[8];
    text[0] = ' ';
    const char* end = put_int_right(text + 1, b, 5);
    set_field(tables.raw[b], text, static_cast<std::size_t>(end - text));
  }
  for (int32_t codes = 0; codes <= kMaxCodeSum; ++codes) {
    const double sum = codes * 0.375;  // exact
    set_value(tables.sum_db[codes], sum);
    set_value(tables.sum_ratio[codes], ratio_of_db(sum));
  }
  tables.built = true;
}

}  // namespace vexo

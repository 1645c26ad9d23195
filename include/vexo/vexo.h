// Everything the library offers: the record reader, the records it hands out, and the sample
// values as numbers.
#pragma once

#include "vexo/reader.h"
#include "vexo/record.h"
#include "vexo/values.h"
#include "vexo/version.h"

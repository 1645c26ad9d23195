// Everything the library offers: the record reader, the records it hands out and copies of them
// that outlive it, the sample values as numbers and as arrays, the index and parts that read
// from the middle of a file, the echoes of a part and the arrival directions fitted to them.
#pragma once

#include "vexo/arrays.h"
#include "vexo/direction_fit.h"
#include "vexo/echo_peaks.h"
#include "vexo/index.h"
#include "vexo/owned_record.h"
#include "vexo/part.h"
#include "vexo/reader.h"
#include "vexo/record.h"
#include "vexo/selection.h"
#include "vexo/values.h"
#include "vexo/version.h"

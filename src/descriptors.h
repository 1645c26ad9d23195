// Subblock descriptors: after the record header the header channel carries one descriptor per
// subblock, 13 nibbles each: five decimal frequency digits (kHz), four decimal height digits
// (km), two unused nibbles, one decimal gain digit (dB) and the polarization nibble. A decimal
// digit nibble of 10..15 counts as the digit 1; the polarization keeps its full value 0..15.
#pragma once

#include <array>
#include <cstdint>

#include "src/header.h"
#include "src/record_layout.h"

namespace vexo {

// Entry s describes subblock s of the current record. A record rewrites entries
// 0..subblock_count-1; later entries keep what earlier records left in them.
using DescriptorTable = std::array<Descriptor, kMaxSubblocks>;

// trunc(4096 / (2^N * 2 * A)); 0 when A is 0 (no subblocks, no descriptors).
int32_t subblock_count(int32_t A, int32_t N);

// Decodes 13 descriptor nibbles (nibble 0 first).
Descriptor decode_descriptor(const std::array<int, kDescriptorNibbles>& nibbles, int32_t H);

// Reads the record's subblock_count descriptors into entries 0..subblock_count-1 (of a table of
// kMaxSubblocks entries).
void read_descriptors(const RecordView& view, const HeaderFields& header, Descriptor* table);
inline void read_descriptors(const RecordView& view, const HeaderFields& header,
                             DescriptorTable& table) {
  read_descriptors(view, header, table.data());
}

}  // namespace vexo

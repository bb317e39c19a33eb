#include "platform/task_file.h"

#include <cstring>

namespace task_file {
namespace {

using In = RegisterByte<InputRegisters>;
using Out = RegisterByte<OutputRegisters>;

// Byte 7 of either task file is reserved, as are bytes 5 and 6 of the previous one.
constexpr In kCurrentInput[] = {
    {0, &InputRegisters::features_7_0}, {1, &InputRegisters::count_7_0},
    {2, &InputRegisters::lba_7_0},      {3, &InputRegisters::lba_15_8},
    {4, &InputRegisters::lba_23_16},    {5, &InputRegisters::device},
    {6, &InputRegisters::command},
};
constexpr In kPreviousInput[] = {
    {0, &InputRegisters::features_15_8}, {1, &InputRegisters::count_15_8},
    {2, &InputRegisters::lba_31_24},     {3, &InputRegisters::lba_39_32},
    {4, &InputRegisters::lba_47_40},
};
constexpr Out kCurrentOutput[] = {
    {0, &OutputRegisters::error},   {1, &OutputRegisters::count},    {2, &OutputRegisters::lba_low},
    {3, &OutputRegisters::lba_mid}, {4, &OutputRegisters::lba_high}, {5, &OutputRegisters::device},
    {6, &OutputRegisters::status},
};
// The Error register has no upper half: byte 0 stays 0.
constexpr Out kPreviousOutput[] = {
    {1, &OutputRegisters::count_15_8},
    {2, &OutputRegisters::lba_low_15_8},
    {3, &OutputRegisters::lba_mid_15_8},
    {4, &OutputRegisters::lba_high_15_8},
};

void clear(ATA_PASS_THROUGH_DIRECT& request) {
  std::memset(request.PreviousTaskFile, 0, sizeof request.PreviousTaskFile);
  std::memset(request.CurrentTaskFile, 0, sizeof request.CurrentTaskFile);
}

}  // namespace

bool extended(const ATA_PASS_THROUGH_DIRECT& request) {
  return (request.AtaFlags & ATA_FLAGS_48BIT_COMMAND) != 0;
}

void encode_input(const InputRegisters& registers, ATA_PASS_THROUGH_DIRECT& request) {
  clear(request);
  put_registers(kCurrentInput, registers, request.CurrentTaskFile);
  if (extended(request)) put_registers(kPreviousInput, registers, request.PreviousTaskFile);
}

InputRegisters decode_input(const ATA_PASS_THROUGH_DIRECT& request) {
  InputRegisters registers{};
  take_registers(kCurrentInput, request.CurrentTaskFile, registers);
  if (extended(request)) take_registers(kPreviousInput, request.PreviousTaskFile, registers);
  return registers;
}

void encode_output(const OutputRegisters& registers, ATA_PASS_THROUGH_DIRECT& request) {
  clear(request);
  put_registers(kCurrentOutput, registers, request.CurrentTaskFile);
  put_registers(kPreviousOutput, registers, request.PreviousTaskFile);
}

OutputRegisters decode_output(const ATA_PASS_THROUGH_DIRECT& request) {
  OutputRegisters registers{};
  take_registers(kCurrentOutput, request.CurrentTaskFile, registers);
  take_registers(kPreviousOutput, request.PreviousTaskFile, registers);
  return registers;
}

}  // namespace task_file

// Received bytes, in bursts, through the receive buffer, line cutting and the protocol core,
// starting from any acquisition state the handshake reaches; between bursts time passes
// and the host may start or stop sampling or select a period.
//
// Input: flags (branded, time column, host requests, time step), start state, burst size,
// host request pattern, then the bytes on the wire.
#include <cstring>
#include <iterator>

#include "fuzz_core.h"
#include "serial/receive_buffer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vyra;
  fuzz::Input in(data, size);
  const uint8_t flags = in.Byte();
  const int32_t state = fuzz::kStates[in.Byte() % std::size(fuzz::kStates)];
  const size_t burst = 1 + in.Byte() * 33u;  // 1 .. 8416 bytes
  const uint8_t requests = in.Byte();
  const int64_t stepMs = 8 * (flags >> 3);  // 0 .. 248 ms per burst: reaches the waveform time-out

  fuzz::Core core(flags & 1);
  core.DriveTo(state, flags & 2);
  ReceiveBuffer buffer;
  for (unsigned pass = 0; !in.Empty(); ++pass) {
    // The reader takes only what the buffer has room for, as the real read does.
    std::string_view bytes = in.Take(std::max(std::min<size_t>(burst, static_cast<size_t>(buffer.Free())), size_t{1}));
    const char* const start = buffer.Space() - buffer.Used();
    if (buffer.Append(bytes.data(), static_cast<int>(bytes.size())) != static_cast<int>(bytes.size())) fuzz::Fail();
    const char* const end = start + buffer.Used();
    const CutResult cut = CutLines(buffer, [&](const char* line, int n) -> int32_t {
      // A reply: inside the bytes held, no LF in it, no leading white space, its CR and a NUL
      // behind it.
      if (n < 1 || line < start || line + n + 1 >= end) fuzz::Fail();
      if (std::memchr(line, '\n', static_cast<size_t>(n)) || line[n] != '\r' || line[n + 1] != '\0') fuzz::Fail();
      if (line[0] == ' ' || (line[0] >= '\t' && line[0] <= '\r')) fuzz::Fail();
      return core.Line(std::string_view(line, static_cast<size_t>(n)));
    });
    if (cut.dispatched < 0 || buffer.Used() > ReceiveBuffer::kMaxHeld) fuzz::Fail();
    core.nowMs += stepMs;
    if (flags & 4) {
      switch ((requests + pass) % 8) {
        case 0: core->StartSampling(); break;
        case 1: core->StopSampling(); break;
        case 2:
          if (const auto& rates = core->UploadRates(); !rates.empty())
            core->SelectPeriod(std::next(rates.begin(), (requests >> 3) % rates.size())->first);
          break;
        default: break;
      }
      core.Check();
    }
  }
  return 0;
}

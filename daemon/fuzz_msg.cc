// Fuzz target: any datagram through validation, decoding and both formats.
#include <cstddef>
#include <cstdint>

#include "block_log.h"
#include "event.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	std::vector<event_payload> recs;
	if (decode_message(data, size, 0, &recs) == msg_status::kRecords)
		for (const event_payload &r : recs) {
			format_block_line(r);
			format_block_json(r, "host");
		}
	return 0;
}

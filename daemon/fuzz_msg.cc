// Fuzz target: any datagram through validation, decoding and formatting.
#include <cstddef>
#include <cstdint>

#include "event.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	std::vector<event_payload> recs;
	if (decode_message(data, size, 0, &recs) == msg_status::kRecords)
		for (const event_payload &r : recs)
			format_block_line(r);
	return 0;
}

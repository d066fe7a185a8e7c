// Room in the service's log for the lines of one round of a scenario.
#pragma once

namespace campaign {

// While the service is not running: when its log (<Logs>\SentrelSrv\SentrelSrv.log) is
// within `roomBytes` of its size limit ("max_size_mb" of the service's logger settings,
// 10 MiB by default), hands it to the product's own archiver, as a rotation would. A
// round that reads the service's lines back then never sees them split across a
// rotation, whose archive it could not read until the compression tool has packed it.
void MakeRoomInServiceLog(unsigned long long roomBytes = 4ull << 20);

}  // namespace campaign

// The failures a retry may cure, by their Win32 codes.
#include "engine/retriable.h"

#include <algorithm>
#include <iterator>

#include "engine/block_pipeline.h"

namespace ferrux::engine {
namespace {

// Sorted. The POSIX body maps ENOTCONN, ECONNRESET, ECONNABORTED, ESTALE,
// EHOSTDOWN, EHOSTUNREACH, ENETDOWN and ENETUNREACH to 64, ETIMEDOUT to
// 121, EBUSY to 170, ENOSPC and EDQUOT to 112, EPIPE to 232, and EIO and
// every errno it has no code for to 1117.
constexpr std::uint32_t kRetriable[] = {
    21,    // ERROR_NOT_READY
    23,    // ERROR_CRC
    31,    // ERROR_GEN_FAILURE
    33,    // ERROR_LOCK_VIOLATION: a range locked by another program
    51,    // ERROR_REM_NOT_LIST
    53,    // ERROR_BAD_NETPATH
    54,    // ERROR_NETWORK_BUSY
    55,    // ERROR_DEV_NOT_EXIST
    58,    // ERROR_BAD_NET_RESP
    59,    // ERROR_UNEXP_NET_ERR
    64,    // ERROR_NETNAME_DELETED
    101,   // the program's own: a write cut short ("Disk full")
    112,   // ERROR_DISK_FULL
    121,   // ERROR_SEM_TIMEOUT
    170,   // ERROR_BUSY
    232,   // ERROR_NO_DATA
    1006,  // ERROR_FILE_INVALID: the volume changed under the file
    1117,  // ERROR_IO_DEVICE
    1130,  // ERROR_NOT_ENOUGH_SERVER_MEMORY
    1167,  // ERROR_DEVICE_NOT_CONNECTED
    1231,  // ERROR_NETWORK_UNREACHABLE
    1232,  // ERROR_HOST_UNREACHABLE
    1236,  // ERROR_CONNECTION_ABORTED
    1450,  // ERROR_NO_SYSTEM_RESOURCES
    1460,  // ERROR_TIMEOUT
};

}  // namespace

bool IsRetriableCode(std::uint32_t code) {
  static_assert(std::is_sorted(std::begin(kRetriable), std::end(kRetriable)));
  return std::binary_search(std::begin(kRetriable), std::end(kRetriable), code);
}

bool CurrentFailureRetriable() {
  try {
    throw;
  } catch (const WriterFailed& failed) {
    try {
      std::rethrow_exception(failed.failure);
    } catch (...) {
      return CurrentFailureRetriable();
    }
  } catch (const Failure& failure) {
    return failure.retriable();
  } catch (...) {
    return false;
  }
}

}  // namespace ferrux::engine

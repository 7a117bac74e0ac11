// Errors of the simulator. An ApiError becomes a failed results element (or a
// refused RPC operation) carrying its number and reason; a StartError stops
// the simulator before it is ready.
#pragma once

#include <stdexcept>
#include <string>

namespace sim {

// Error numbers of failed API results. They are listed in `kovrel sim --help`
// so that scripts can rely on them.
enum ApiErrno : int {
    SIM_EBADREQUEST = 13101,   // not XML, wrong envelope, no API element
    SIM_EUNKNOWNAPI = 13102,   // the API name is not answered here
    SIM_EMISSINGINPUT = 13103, // a required child is absent
    SIM_EINVALIDINPUT = 13104, // a child has a value that is not accepted, or is unknown
    SIM_ENOVOLUME = 13105,     // no volume of that name
    SIM_ENOSNAPSHOT = 13106,   // no snapshot of that name
    SIM_ESNAPSHOTEXISTS = 13107,
    SIM_EFILESYSTEM = 13108,  // a file-system operation on the volume failed
    SIM_EBADCOOKIE = 13109,   // restart cookie malformed or for another difference
    SIM_EINTERNAL = 13110,    // the simulator itself failed (out of memory and the like)
    SIM_EMAXSESSIONS = 50089, // the session limit is reached (NFS4ERR_MAX_CQ_SESSIONS)
};

class ApiError : public std::runtime_error {
  public:
    ApiError(int number, const std::string &reason) : std::runtime_error(reason), number_(number) {}
    int number() const { return number_; }

  private:
    int number_;
};

class StartError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

} // namespace sim

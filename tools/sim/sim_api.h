// The XML API calls the simulator answers.
#pragma once

#include "sim_options.h"
#include "sim_sessions.h"
#include "sim_volumes.h"

#include <string>
#include <string_view>
#include <vector>

namespace sim {

class Api {
  public:
    Api(Volumes &volumes, Sessions &sessions, std::vector<Credentials> users)
        : volumes_(volumes), sessions_(sessions), users_(std::move(users)) {}

    // Whether the credentials belong to an account.
    bool authorized(std::string_view user, std::string_view password) const;

    // Answers one request document with a reply document: a passed result,
    // or a failed one naming the problem. Never throws.
    std::string handle(std::string_view request);

  private:
    Volumes &volumes_;
    Sessions &sessions_;
    std::vector<Credentials> users_;
};

} // namespace sim

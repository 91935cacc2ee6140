// Marker for logs that keep the session id they were built with: the session
// tracker never stamps the current session on them. Logs of any service
// adopt it, so it lives with the core's log model.
#pragma once

class BEACNoAutoAssignSessionIdLog {
  public:
    virtual ~BEACNoAutoAssignSessionIdLog() = default;
};

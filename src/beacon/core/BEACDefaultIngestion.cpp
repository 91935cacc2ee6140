#include "beacon/core/BEACIngestionProtocol.h"

// Placeholder until the HTTP ingestion exists: no ingestion.
std::shared_ptr<BEACGroupIngestionProtocol> BEACMakeDefaultIngestion(const std::string&, const std::string&) {
    return nullptr;
}

#pragma once

#include "Database.hpp"

namespace tovu::server {

// Brings the schema up to date, one version at a time; one server process at a time.
// Throws DatabaseError for a schema newer than this server.
void migrate(Database& db);

} // namespace tovu::server

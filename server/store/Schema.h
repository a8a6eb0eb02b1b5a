#pragma once

namespace norvane::server {

class Database;

// Creates the tables and indexes of a new database and upgrades an older one. Throws
// DatabaseError when the file holds a schema newer than this program knows.
void applySchema(Database& db);

} // namespace norvane::server

// The "admin" account of a virtual server: created by a first run on
// "server_cfg Default", and given the "-ADMINPW=" password on every listed
// server at each start. Called by start-up only, on the main thread.
#pragma once

#include <string_view>

#include "common/ClientObject.h"

// The account record start-up creates: login and nick name "admin",
// registered by "Server", server privileges 9 (ServerAdmin and
// SuperServerAdmin), `password` cut to 29 characters.
TClientObject DefaultAdminAccount(std::string_view password);

// Gives the "admin" account of `serverId` privileges 9 and `password`,
// creating the account where it is missing. No effect without a database.
void SetAdminPassword(std::string_view serverId, std::string_view password);

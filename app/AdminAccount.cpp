#include "app/AdminAccount.h"

#include "database/Accounts.h"
#include "database/ServerDatabase.h"

namespace {

constexpr uint16_t kAdminPrivileges = PlayerPrivileges::ServerAdmin | PlayerPrivileges::SuperServerAdmin;

}  // namespace

TClientObject DefaultAdminAccount(std::string_view password) {
  TClientObject account;
  account.LoginName = "admin";
  account.NickName = "admin";
  account.RegisteredBy = "Server";
  account.PlayerPrivileges = kAdminPrivileges;
  account.ChannelPrivileges = 0;
  account.Password = password;
  return account;
}

void SetAdminPassword(std::string_view serverId, std::string_view password) {
  const auto db = LockServerDatabase();
  if (!db) return;
  if (std::unique_ptr<TClientObject> admin = GetUser(*db, "admin", serverId, false)) {
    admin->PlayerPrivileges = kAdminPrivileges;
    admin->Password = password;
    UpdateUser(*db, *admin, serverId);
  } else {
    AddUser(*db, DefaultAdminAccount(password), serverId);
  }
}

// channel_setup: prepares a server.db for a load run before parleon-server
// starts: C registered top-level channels <prefix>1..<prefix>C on one
// virtual server, the first of them the default channel, each with room for
// everyone. parleon-bot then spreads its clients over them by name with
// Enter. Used by bench/relay_compare.sh.
//
// Usage: channel_setup_tool --db FILE --server-id ID --channels C [--prefix Load]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "database/FreeBase.h"
#include "database/StoredChannels.h"
#include "server/Channels.h"

int main(int argc, char** argv) {
  std::string db, serverID = "server_cfg Default", prefix = "Load";
  int channels = 1;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--db") == 0) db = argv[i + 1];
    else if (std::strcmp(argv[i], "--server-id") == 0) serverID = argv[i + 1];
    else if (std::strcmp(argv[i], "--channels") == 0) channels = std::atoi(argv[i + 1]);
    else if (std::strcmp(argv[i], "--prefix") == 0) prefix = argv[i + 1];
  }
  if (db.empty() || channels < 1 || argc % 2 == 0) {
    std::fprintf(stderr, "usage: %s --db FILE --server-id ID --channels C [--prefix Load]\n", argv[0]);
    return 2;
  }

  TChannels list(serverID);
  TChannelsLock lock(list);
  for (int k = 0; k < channels; ++k) {
    TChannelRecord r;
    r.Name = r.Topic = prefix + std::to_string(k + 1);
    r.Description = "load test channel";
    r.Flags = k == 0 ? cfDefaultChannel : 0;
    r.MaxUsers = 65535;
    if (list.AddChannel(r) < 0) {
      std::fprintf(stderr, "channel %s refused\n", r.Name.c_str());
      return 1;
    }
  }
  TFreeBase base;
  base.SetOpenFlag(TFBOpenFlag::CreateNotExists);
  base.SetFileName(db);
  base.SetActive(true);
  if (!base.Active()) {
    std::fprintf(stderr, "cannot open %s\n", db.c_str());
    return 1;
  }
  SaveStoredChannels(base, list.ServerID(), list.Records());
  base.SetActive(false);
  std::printf("%d channels stored for \"%s\" in %s\n", channels, serverID.c_str(), db.c_str());
  return 0;
}

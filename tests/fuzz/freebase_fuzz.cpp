// Fuzz target for the database loader: any file image must either load or
// be refused, never crash, hang or allocate without bound. A loaded image
// must survive save and reload unchanged, and the component must stay sound
// when it loads the image from its storage, answers lookups and closes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "database/FreeBase.h"
#include "database/FreeBaseFormat.h"
#include "database/MemoryStorage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string image(reinterpret_cast<const char*>(data), size);
  TFBHeader header;
  std::unique_ptr<TFBRoot> root;
  const bool parsed = ParseFreeBase(image, header, root);
  if (parsed) {
    // What we write, we must read back to the same bytes.
    const std::string saved = SerialiseFreeBase(header, *root, 1.0);
    TFBHeader header2;
    std::unique_ptr<TFBRoot> root2;
    if (!ParseFreeBase(saved, header2, root2)) std::abort();
    if (SerialiseFreeBase(header2, *root2, 1.0) != saved) std::abort();
  }

  TMemoryStorage storage;
  storage.Files()["server.db"] = image;
  TManualClock clock;
  TFreeBase db(storage, &clock);
  db.SetFileName("server.db");
  db.SetActive(true);
  if (db.Active() != parsed) std::abort();
  if (!parsed && db.LastError() != FreeBaseError::InvalidFile) std::abort();
  if (parsed) {
    db.ReadString("\\Servers\\server_cfg Default\\Users\\admin\\LogInName", "");
    db.WriteInteger("A\\b\\c", 1);
    auto lock = db.Lock();
    if (auto* first = EntryAs<TFBContainer>(db.GetEntry(lock, "", TFBEntryType::Root))->FirstChild())
      db.DeleteEntry(lock, first);
  }
  db.SetActive(false);
  return 0;
}

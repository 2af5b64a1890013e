#include "common/FIFOList.h"

#include "common/TextFormat.h"

void CheckFIFOListSizes(int startItems, int maxItems, int growBy) {
  if (maxItems < startItems) throw EFIFOList("StartItems if more than MaxItems");
  if (maxItems >= 100001)
    throw EFIFOList(FormatArgs("%1 Items is to much. A FifoList can contain 100.000 items", {maxItems}));
  if (growBy >= 10001)
    throw EFIFOList(FormatArgs("%1 Items is to much. A FifoList can grow with 10.000 items at a time max", {growBy}));
  if (startItems < 0 || maxItems < 0 || growBy < 0) throw EFIFOList("Negative parameter is not allowed");
}

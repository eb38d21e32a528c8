#include "common/ObjectsUnit.h"

#include "common/ObjectsFiles.h"
#include "common/SystemInfo.h"

namespace vt {

const UnitEntry kObjectsUnit{"Objects", &InitSystemInfo, &DoneSystemFolders};

}  // namespace vt

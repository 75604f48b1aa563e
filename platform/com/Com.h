#pragma once
// Everything of the COM stand-in in one include.
#include "platform/com/ComApi.h"
#include "platform/com/ComTypes.h"
#include "platform/com/RunningObjectTable.h"
#include "platform/com/Unknown.h"

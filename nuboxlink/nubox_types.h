// The public records and the internal code's view of them.
#pragma once

#include "nuboxlink/nuboxlink.h"

// Placeholder: the conversions are written by the utilities work.
#include "utils/utils.h"

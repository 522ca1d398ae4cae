#include "bridge/codec.h"

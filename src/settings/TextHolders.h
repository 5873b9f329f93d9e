#pragma once
// The texts live beside the engine, which composes its records and notices from them.
#include "engine/TextHolders.h"

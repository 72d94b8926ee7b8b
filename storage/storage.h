// Storage and formats: the virtual filesystem, mounts, cartridges, the history
// store, and the byte formats and hashes they use. Each concern has a header
// of its own; this one gathers them for the layers above.
#pragma once

#include "storage/anywhen.h"
#include "storage/cartridges.h"
#include "storage/file_calls.h"
#include "storage/formats.h"
#include "storage/mounts.h"
#include "storage/paths.h"
#include "storage/pfile_ops.h"
#include "storage/ram_files.h"
#include "storage/vyn.h"
#include "storage/writeback.h"

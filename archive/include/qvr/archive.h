// Everything needed to read and write QVR archives.
#pragma once

#include "qvr/directory.h"
#include "qvr/format.h"
#include "qvr/name_encoding.h"
#include "qvr/open.h"
#include "qvr/scramble.h"
#include "qvr/structure.h"
#include "qvr/window_walk.h"
#include "qvr/writer.h"

// The module's logic headers, for C++ tests.
#pragma once

#include "kshim.h"

extern "C" {
#include "block_hash.h"
#include "rule_lists.h"
#include "utils.h"
#include "zentrope_cmd.h"
#include "proc_lists.h"
#include "decide.h"
}

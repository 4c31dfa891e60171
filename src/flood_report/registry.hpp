// The members of the private extension module fenwa_host._native.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace fenwa {

extern PyMethodDef flood_metrics_def;
// fenwa_host.trim's hot loops (src/host_trim).
extern PyMethodDef read_messages_def;
extern PyMethodDef removal_order_def;
extern PyMethodDef budget_walk_def;
extern PyMethodDef pair_adjacent_def;
extern PyMethodDef pair_anywhere_def;
extern PyMethodDef durable_views_def;
// fenwa_host.Conversation's filing of the messages that join the cached prefix.
extern PyMethodDef file_sent_def;
// fenwa_host.tokens' estimate (src/host_trim/token_functions.cpp).
extern PyMethodDef estimate_tokens_def;
extern PyMethodDef token_features_def;
extern PyMethodDef estimate_views_def;
extern PyMethodDef estimate_cache_def;

}  // namespace fenwa

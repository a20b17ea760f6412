// File: parser/registry.h
//
// The constant registry of provider adapters, asked in order: Codex first, then
// Claude Code. The order decides which adapter is asked first, the order of
// candidates and the order of providers in the ambiguity message.
#pragma once

#include <span>

#include "reading/adapter.h"

namespace tq {

// Codex entry, then Claude Code entry.
std::span<const ProviderAdapter> provider_registry();

}  // namespace tq

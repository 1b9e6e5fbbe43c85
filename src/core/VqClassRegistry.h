#pragma once

// Registers and unregisters every class with the factory, in start-up order.
namespace VqClassRegistry {
bool registerAll();
bool unregisterAll();
} // namespace VqClassRegistry

#pragma once

// Cashier 20 with its default password: what a fresh register accepts, what the port form
// starts with, and what the emulator's presets hold.
constexpr int DefaultCashierNumber = 20;
constexpr int DefaultCashierPassword = 30;

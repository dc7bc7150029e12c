#pragma once
// placeholder: the emulator fixture arrives with the emulator

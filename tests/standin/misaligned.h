#pragma once
// Calls into the host as code built by another compiler may: on a stack
// aligned to 4 bytes modulo 16, where GCC's 32-bit code takes 16 for granted.

// Calls function(argument) with the stack pointer at 4 modulo 16 at the call
// on 32-bit x86; elsewhere the ABI keeps the stack aligned, and this is a
// plain call.
void callMisaligned(void (*function)(void*), void* argument);

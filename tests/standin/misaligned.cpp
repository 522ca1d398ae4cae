#include "misaligned.h"

#if defined(__i386__) && (defined(__GNUC__) || defined(__clang__))
// 16-byte aligned, less 8 bytes of padding and the 4 of the argument.
extern "C" void __cdecl standinCallMisaligned(void (*function)(void*), void* argument);
asm(".text\n"
    ".globl _standinCallMisaligned\n"
    "_standinCallMisaligned:\n"
    "    pushl %ebp\n"
    "    movl %esp, %ebp\n"
    "    movl 8(%ebp), %eax\n"
    "    movl 12(%ebp), %ecx\n"
    "    andl $-16, %esp\n"
    "    subl $8, %esp\n"
    "    pushl %ecx\n"
    "    call *%eax\n"
    "    movl %ebp, %esp\n"
    "    popl %ebp\n"
    "    ret\n");

void callMisaligned(void (*function)(void*), void* argument) {
    standinCallMisaligned(function, argument);
}
#elif defined(_M_IX86)
void callMisaligned(void (*function)(void*), void* argument) {
    __asm {
        mov eax, function
        mov ecx, argument
        mov esi, esp
        and esp, -16
        sub esp, 8
        push ecx
        call eax
        mov esp, esi
    }
}
#else
void callMisaligned(void (*function)(void*), void* argument) {
    function(argument);
}
#endif

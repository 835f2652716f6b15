/*
 * The two places where the host meets the stdcall convention, written in
 * assembly so that no compiler-made frame can hide a mismatch: a C or C++
 * caller that keeps a frame pointer restores ESP from it on return, and a
 * callee that removed the wrong number of argument bytes then goes unseen.
 * i686, AT&T syntax, PE/COFF symbol decoration (a leading underscore; @N for
 * stdcall).
 */
        .text

/*
 * uint32_t qrv_stdcall_probe(const void* function, const uint32_t* args,
 *                            uint32_t count, int32_t* bytesLeft)   (cdecl)
 *
 * Pushes args[count-1] .. args[0] (so args[0] ends up at the lowest address,
 * as stdcall and cdecl place the first argument), also loads args[0] into
 * ECX, and calls `function`. ESP is taken just before the first push and
 * compared just after the call returns; *bytesLeft receives the difference,
 * the number of argument bytes the callee left on the stack: 0 for a stdcall
 * callee of exactly these arguments, 4 * count for a cdecl one, 4 for a
 * thiscall one (which takes args[0] from ECX and removes the rest). ESP is
 * then restored from EBP, so the probe survives any imbalance. The stack is
 * 16-byte aligned at the call. Returns the callee's EAX.
 */
        .globl  _qrv_stdcall_probe
        .def    _qrv_stdcall_probe; .scl 2; .type 32; .endef
_qrv_stdcall_probe:
        pushl   %ebp
        movl    %esp, %ebp
        pushl   %ebx
        pushl   %esi
        pushl   %edi
        movl    12(%ebp), %esi          /* args */
        movl    16(%ebp), %edi          /* count */
        leal    0(,%edi,4), %eax        /* bytes of arguments */
        movl    %esp, %edx
        subl    %eax, %edx
        andl    $15, %edx
        subl    %edx, %esp              /* aligned once the arguments are pushed */
        movl    %esp, %ebx              /* ESP before the arguments */
        movl    %edi, %ecx
1:      testl   %ecx, %ecx
        jz      2f
        decl    %ecx
        pushl   (%esi,%ecx,4)
        jmp     1b
2:      xorl    %ecx, %ecx
        testl   %edi, %edi
        jz      3f
        movl    (%esi), %ecx            /* `this` for a thiscall callee */
3:      call    *8(%ebp)
        movl    %ebx, %ecx
        subl    %esp, %ecx              /* bytes the callee did not remove */
        movl    20(%ebp), %edx
        movl    %ecx, (%edx)
        leal    -12(%ebp), %esp
        popl    %edi
        popl    %esi
        popl    %ebx
        popl    %ebp
        ret

/*
 * void __stdcall qrv_service_stub(allocator, message, length, context,
 *                                 answer, answerLength)
 *
 * The service callback the host registers. At entry [ESP] is the return
 * address and the six arguments lie at ESP+4 .. ESP+24, where stdcall and
 * cdecl callers put them; the stub hands their address and its entry ESP to
 * qrv_service_entry (cdecl), which checks them and serves the message, and
 * then removes the 24 bytes itself, as stdcall requires.
 */
        .globl  _qrv_service_stub@24
        .def    _qrv_service_stub@24; .scl 2; .type 32; .endef
_qrv_service_stub@24:
        movl    %esp, %eax
        pushl   %eax                    /* entry ESP */
        leal    4(%eax), %ecx
        pushl   %ecx                    /* the six arguments */
        call    _qrv_service_entry
        addl    $8, %esp
        ret     $24

/*
 * void __stdcall qrv_unwind_to_frame(void* frame, EXCEPTION_RECORD* record)
 *
 * RtlUnwind(frame, 0, record, 0): runs the unwind handlers of every frame
 * above `frame` in the thread's chain and unlinks them, then returns here.
 * Windows' x86 RtlUnwind returns through a context it captured, with EBX,
 * ESI and EDI cleared; this thunk keeps them and EBP on the stack across the
 * call, as compiler runtimes do, so that its C++ caller may rely on the
 * callee-saved registers whatever the optimiser keeps in them. ESP itself
 * comes back intact from every RtlUnwind.
 * i686, AT&T syntax, PE/COFF symbol decoration.
 */
        .text
        .globl  _qrv_unwind_to_frame@8
        .def    _qrv_unwind_to_frame@8; .scl 2; .type 32; .endef
_qrv_unwind_to_frame@8:
        pushl   %ebp
        pushl   %ebx
        pushl   %esi
        pushl   %edi
        pushl   $0                      /* ReturnValue */
        pushl   28(%esp)                /* ExceptionRecord: record */
        pushl   $0                      /* TargetIp: return here */
        pushl   32(%esp)                /* TargetFrame: frame */
        call    *__imp__RtlUnwind@16    /* stdcall: removes the four */
        popl    %edi
        popl    %esi
        popl    %ebx
        popl    %ebp
        ret     $8

/*
 * void __stdcall qrv_clearing_rtl_unwind(target, ip, record, value)
 *
 * Calls the RtlUnwind in qrv_real_rtl_unwind with the same four arguments
 * and returns with EBX, ESI and EDI cleared, as Windows' own x86 RtlUnwind
 * does: a caller that kept anything in them across the call finds it gone.
 * i686, AT&T syntax, PE/COFF symbol decoration.
 */
        .text
        .globl  _qrv_clearing_rtl_unwind@16
        .def    _qrv_clearing_rtl_unwind@16; .scl 2; .type 32; .endef
_qrv_clearing_rtl_unwind@16:
        pushl   16(%esp)                /* value */
        pushl   16(%esp)                /* record */
        pushl   16(%esp)                /* ip */
        pushl   16(%esp)                /* target */
        call    *_qrv_real_rtl_unwind   /* stdcall: removes the four */
        xorl    %ebx, %ebx
        xorl    %esi, %esi
        xorl    %edi, %edi
        ret     $16

        .data
        .globl  _qrv_real_rtl_unwind
        .p2align 2
_qrv_real_rtl_unwind:
        .long   0

/* The start-up routines' shared piece (crt_sections.c). */
#ifndef QRV_MSVC_ABI_CRT_SECTIONS_H_
#define QRV_MSVC_ABI_CRT_SECTIONS_H_

typedef void(__cdecl* Initializer)(void);

/* Runs the C++ static initializers of the module, in the linker's order. */
void RunStaticInitializers(void);

#endif /* QRV_MSVC_ABI_CRT_SECTIONS_H_ */

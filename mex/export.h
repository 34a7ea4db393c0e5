/* Marks the module's two entry points for export; everything else is hidden. */
#ifndef TARVENLOCH_MEX_EXPORT_H
#define TARVENLOCH_MEX_EXPORT_H
#if defined(_WIN32)
#define MODULE_EXPORT __declspec(dllexport)
#else
#define MODULE_EXPORT __attribute__((visibility("default")))
#endif
#endif

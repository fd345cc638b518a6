/* A language library carries resources only; this unit gives the linker a
   translation unit to make the image from. */
typedef int kaldprop_language_library_has_no_code;

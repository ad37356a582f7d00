// Embeds voxlet's property list in the executable as the section "__info_plist", where tools
// that read the program's identity look for it.
#ifndef VOXLET_INFO_PLIST
#error "VOXLET_INFO_PLIST must name the property list file"
#endif

asm(".pushsection __info_plist,\"a\",@progbits\n"
    ".incbin \"" VOXLET_INFO_PLIST
    "\"\n"
    ".popsection\n");

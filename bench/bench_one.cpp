// Exactly one encode, or one encode and one decode to the top layer (by
// default or with the whole standard: encode-full, decode-full), of a page: the program
// that bench/callgrind.sh counts instructions of, with
// --toggle-collect=jbigEncode or --toggle-collect=jbigDecodeToWinDIBits.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "page.h"

int main(int argc, char **argv) {
    const std::string mode = argc == 4 ? argv[3] : "";
    if (mode != "encode" && mode != "encode-full" && mode != "decode" && mode != "decode-full") {
        std::fprintf(stderr, "usage: %s PAGE.pbm[.gz] LAYERS encode|encode-full|decode|decode-full\n", argv[0]);
        return 2;
    }
    Page page = readPage(argv[1]);
    uint32_t layers = uint32_t(std::strtoul(argv[2], nullptr, 10));
    Encoded e = encodePage(page, layers, mode == "encode-full" ? JBIG_FLAG_FULL_STANDARD : 0);
    uint32_t length = e.length;
    if (mode.rfind("decode", 0) == 0) {
        HGLOBAL block = globalCopy(e.data, length);
        std::vector<uint8_t> bits;
        // The header from jbigDecodeGetImageSize: the one call of
        // jbigDecodeToWinDIBits is the fill that decodes.
        decodePage(block, length, int32_t(layers), true, bits, mode == "decode-full" ? JBIG_FLAG_FULL_STANDARD : 0);
        GlobalFree(block);
        checkDecoded(page, bits);
    }
    HeapFree(GetProcessHeap(), 0, e.data);
    std::printf("%s %ux%u D=%u %s: %u bytes\n", page.name.c_str(), page.width, page.height, layers, argv[3], length);
    return 0;
}

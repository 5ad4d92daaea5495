// Exactly one encode, or one encode and one decode to the top layer, of a
// page: the program that bench/callgrind.sh counts instructions of, with
// --toggle-collect=jbigEncode or --toggle-collect=jbigDecodeToWinDIBits.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "page.h"

int main(int argc, char **argv) {
    if (argc != 4 || (std::strcmp(argv[3], "encode") != 0 && std::strcmp(argv[3], "decode") != 0)) {
        std::fprintf(stderr, "usage: %s PAGE.pbm[.gz] LAYERS encode|decode\n", argv[0]);
        return 2;
    }
    Page page = readPage(argv[1]);
    uint32_t layers = uint32_t(std::strtoul(argv[2], nullptr, 10));
    Encoded e = encodePage(page, layers);
    uint32_t length = e.length;
    if (std::strcmp(argv[3], "decode") == 0) {
        HGLOBAL block = globalCopy(e.data, length);
        std::vector<uint8_t> bits;
        // The header from jbigDecodeGetImageSize: the one call of
        // jbigDecodeToWinDIBits is the fill that decodes.
        decodePage(block, length, int32_t(layers), true, bits);
        GlobalFree(block);
        checkDecoded(page, bits);
    }
    HeapFree(GetProcessHeap(), 0, e.data);
    std::printf("%s %ux%u D=%u %s: %u bytes\n", page.name.c_str(), page.width, page.height, layers, argv[3], length);
    return 0;
}

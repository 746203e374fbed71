// Build-time helper: decodes the program's icon files once, at build time, into a C++ source
// that holds their pixels as the window system takes them, so that a start of the program
// decodes no image and loads no image-format plugin.
//     dovrax_iconpixels OUTPUT.cpp ICON.png...
#include <QFile>
#include <QImage>

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s OUTPUT.cpp ICON.png...\n", argv[0]);
        return 2;
    }
    QByteArray entries;
    QByteArray property;
    qsizetype offset = 0;
    for (int i = 2; i < argc; ++i) {
        QImage image(QString::fromLocal8Bit(argv[i]));
        if (image.isNull()) {
            std::fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[i]);
            return 1;
        }
        // The pixels a window's icon is sent to the window system as: each time a window is made
        // its icon is converted to this form, unless it is in this form already. Premultiplied
        // first, so that they are exactly the pixels that conversion would give.
        image = image.convertToFormat(QImage::Format_ARGB32_Premultiplied)
                    .convertToFormat(QImage::Format_ARGB32);
        // Each size as the icon property lays it out: width, height, then the pixels.
        property += "\n    " + QByteArray::number(image.width()) + ", " +
                    QByteArray::number(image.height()) + ",";
        for (int y = 0; y < image.height(); ++y) {
            const auto *line = reinterpret_cast<const uint32_t *>(image.constScanLine(y));
            for (int x = 0; x < image.width(); ++x)
                property += ((x + y * image.width()) % 8 ? " 0x" : "\n    0x") +
                            QByteArray::number(line[x], 16) + ',';
        }
        entries += "    {" + QByteArray::number(image.width()) + ", " +
                   QByteArray::number(image.height()) + ", kIconProperty + " +
                   QByteArray::number(offset + 2) + "},\n";
        offset += 2 + qsizetype(image.width()) * image.height();
    }
    const QByteArray text =
        "// Generated from the icon files at build time; do not edit.\n"
        "#include \"iconpixels.h\"\n\n"
        "namespace res {\n\nconst uint32_t kIconProperty[] = {" +
        property + "\n};\n\nconst size_t kIconPropertyLength = " + QByteArray::number(offset) +
        ";\n\nconst IconPixels kIconPixels[] = {\n" + entries +
        "};\n\nconst size_t kIconPixelsCount = " + QByteArray::number(argc - 2) +
        ";\n\n} // namespace res\n";
    QFile out(QString::fromLocal8Bit(argv[1]));
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(text) != text.size() ||
        !out.flush()) {
        std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[1]);
        return 1;
    }
    return 0;
}

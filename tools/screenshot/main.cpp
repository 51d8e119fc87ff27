// orvel-screenshot: saves a PNG of an X display's root window or of one top-level window.
#include <xcb/xcb.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QString>
#include <QThread>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "common/command_line.h"

namespace {

const char* const kAbout =
    "Saves the root window of the X display (default $DISPLAY) as a PNG, or with --window the\n"
    "top-level window whose title is TITLE (exact match first, then without regard to case).\n"
    "--wait: keep looking for the window that long (default 0). Exit status 0 on success.\n";

template <typename T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

template <typename T>
Reply<T> own(T* p) {
    return Reply<T>(p, &std::free);
}

xcb_atom_t atom(xcb_connection_t* c, const char* name) {
    auto r = own(xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 1, static_cast<uint16_t>(std::strlen(name)), name), nullptr));
    if (!r) {
        return XCB_ATOM_NONE;
    }
    return r->atom;
}

std::optional<QString> windowTitle(xcb_connection_t* c, xcb_window_t w, xcb_atom_t netWmName,
                                   xcb_atom_t utf8) {
    if (netWmName != XCB_ATOM_NONE && utf8 != XCB_ATOM_NONE) {
        auto r = own(xcb_get_property_reply(c, xcb_get_property(c, 0, w, netWmName, utf8, 0, 1024),
                                            nullptr));
        if (r && r->type == utf8) {
            return QString::fromUtf8(static_cast<const char*>(xcb_get_property_value(r.get())),
                                     xcb_get_property_value_length(r.get()));
        }
    }
    auto r = own(xcb_get_property_reply(
        c, xcb_get_property(c, 0, w, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, 0, 1024),
        nullptr));
    if (r && r->type != XCB_ATOM_NONE) {
        return QString::fromLatin1(static_cast<const char*>(xcb_get_property_value(r.get())),
                                   xcb_get_property_value_length(r.get()));
    }
    return std::nullopt;
}

bool viewable(xcb_connection_t* c, xcb_window_t w) {
    auto r = own(xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, w), nullptr));
    return r && r->map_state == XCB_MAP_STATE_VIEWABLE;
}

// The window manager's client list where one runs, otherwise the root window's children.
std::vector<xcb_window_t> topLevels(xcb_connection_t* c, xcb_window_t root) {
    std::vector<xcb_window_t> out;
    const xcb_atom_t clientList = atom(c, "_NET_CLIENT_LIST");
    if (clientList != XCB_ATOM_NONE) {
        auto r = own(xcb_get_property_reply(
            c, xcb_get_property(c, 0, root, clientList, XCB_ATOM_WINDOW, 0, 4096), nullptr));
        if (r && r->type == XCB_ATOM_WINDOW && r->format == 32) {
            const auto* ids = static_cast<const xcb_window_t*>(xcb_get_property_value(r.get()));
            out.assign(ids, ids + xcb_get_property_value_length(r.get()) / 4);
        }
    }
    if (out.empty()) {
        auto r = own(xcb_query_tree_reply(c, xcb_query_tree(c, root), nullptr));
        if (r) {
            const xcb_window_t* ids = xcb_query_tree_children(r.get());
            out.assign(ids, ids + xcb_query_tree_children_length(r.get()));
        }
    }
    return out;
}

std::optional<xcb_window_t> findWindow(xcb_connection_t* c, xcb_window_t root,
                                       const QString& title) {
    const xcb_atom_t netWmName = atom(c, "_NET_WM_NAME");
    const xcb_atom_t utf8 = atom(c, "UTF8_STRING");
    std::optional<xcb_window_t> loose;
    for (const xcb_window_t w : topLevels(c, root)) {
        const auto t = windowTitle(c, w, netWmName, utf8);
        if (!t || !viewable(c, w)) {
            continue;
        }
        if (*t == title) {
            return w;
        }
        if (!loose && t->compare(title, Qt::CaseInsensitive) == 0) {
            loose = w;
        }
    }
    return loose;
}

int bitsPerPixel(const xcb_setup_t* setup, uint8_t depth) {
    for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem; xcb_format_next(&it)) {
        if (it.data->depth == depth) {
            return it.data->bits_per_pixel;
        }
    }
    return 0;
}

int scanlinePad(const xcb_setup_t* setup, uint8_t depth) {
    for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem; xcb_format_next(&it)) {
        if (it.data->depth == depth) {
            return it.data->scanline_pad;
        }
    }
    return 32;
}

int fail(const char* what) {
    std::fprintf(stderr, "orvel-screenshot: %s\n", what);
    return 1;
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const orvel::cli::Program program{QStringLiteral("orvel-screenshot"),
                                      QStringLiteral("[--display NAME] [--window TITLE] "
                                                     "[--wait SECONDS] OUTPUT.png"),
                                      QString::fromLatin1(kAbout)};
    QCommandLineParser parser;
    orvel::cli::prepare(parser, program);
    const QCommandLineOption displayOpt(QStringLiteral("display"),
                                        QStringLiteral("X display (default $DISPLAY)."),
                                        QStringLiteral("name"));
    const QCommandLineOption windowOpt(QStringLiteral("window"),
                                       QStringLiteral("Title of the window to save."),
                                       QStringLiteral("title"));
    const QCommandLineOption waitOpt(QStringLiteral("wait"),
                                     QStringLiteral("Keep looking for the window this long (0)."),
                                     QStringLiteral("seconds"), QStringLiteral("0"));
    parser.addOptions({displayOpt, windowOpt, waitOpt});
    parser.addPositionalArgument(QStringLiteral("output"), QStringLiteral("The PNG to write."));
    if (const auto end = orvel::cli::parse(parser, program, app.arguments())) {
        return *end;
    }
    const QString display = parser.value(displayOpt);
    const QString title = parser.value(windowOpt);
    const bool byTitle = parser.isSet(windowOpt);
    bool good = false;
    const double waitSeconds = parser.value(waitOpt).toDouble(&good);
    if (!good || !(waitSeconds >= 0 && waitSeconds <= 600)) {
        return orvel::cli::usageError(program, QStringLiteral("--wait takes 0 to 600 seconds"));
    }
    if (parser.positionalArguments().size() != 1) {
        return orvel::cli::usageError(program, QStringLiteral("give one output file"));
    }
    const QString output = parser.positionalArguments().constFirst();

    int screenNumber = 0;
    const QByteArray displayName = display.toLocal8Bit();
    xcb_connection_t* c =
        xcb_connect(display.isEmpty() ? nullptr : displayName.constData(), &screenNumber);
    if (!c || xcb_connection_has_error(c)) {
        if (c) {
            xcb_disconnect(c);
        }
        return fail("cannot open the X display");
    }
    std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> conn(c, &xcb_disconnect);
    const xcb_setup_t* setup = xcb_get_setup(c);
    auto screens = xcb_setup_roots_iterator(setup);
    for (int i = 0; i < screenNumber && screens.rem; ++i) {
        xcb_screen_next(&screens);
    }
    if (!screens.rem) {
        return fail("the display has no such screen");
    }
    const xcb_window_t root = screens.data->root;

    xcb_window_t target = root;
    if (byTitle) {
        QElapsedTimer waited;
        waited.start();
        std::optional<xcb_window_t> found;
        while (!(found = findWindow(c, root, title)) && waited.elapsed() < waitSeconds * 1000) {
            QThread::msleep(100);
        }
        if (!found) {
            std::fprintf(stderr, "orvel-screenshot: no window titled \"%s\" is shown\n",
                         title.toUtf8().constData());
            return 1;
        }
        target = *found;
    }

    auto geometry = own(xcb_get_geometry_reply(c, xcb_get_geometry(c, target), nullptr));
    if (!geometry || geometry->width == 0 || geometry->height == 0) {
        return fail("cannot read the window's size");
    }
    const int width = geometry->width;
    const int height = geometry->height;
    const int bpp = bitsPerPixel(setup, geometry->depth);
    if (bpp != 32) {
        return fail("only displays with 32 bits per pixel are supported");
    }
    xcb_generic_error_t* err = nullptr;
    auto image = own(xcb_get_image_reply(
        c,
        xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, target, 0, 0, static_cast<uint16_t>(width),
                      static_cast<uint16_t>(height), ~0u),
        &err));
    if (!image) {
        std::free(err);
        return fail("the X server refused to hand out the window's pixels");
    }
    const int pad = scanlinePad(setup, geometry->depth);
    const int stride = ((width * bpp + pad - 1) / pad) * pad / 8;
    const int length = xcb_get_image_data_length(image.get());
    if (length < stride * height) {
        return fail("the X server sent fewer pixels than asked for");
    }
    const uint8_t* data = xcb_get_image_data(image.get());
    const bool msbFirst = setup->image_byte_order == XCB_IMAGE_ORDER_MSB_FIRST;
    QImage out(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        const uint8_t* src = data + static_cast<std::ptrdiff_t>(y) * stride;
        auto* dst = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const uint8_t* px = src + 4 * x;
            const uint32_t v =
                msbFirst
                    ? (uint32_t(px[0]) << 24 | uint32_t(px[1]) << 16 | uint32_t(px[2]) << 8 | px[3])
                    : (uint32_t(px[3]) << 24 | uint32_t(px[2]) << 16 | uint32_t(px[1]) << 8 |
                       px[0]);
            dst[x] = 0xFF000000u | (v & 0x00FFFFFFu);
        }
    }
    if (!out.save(output, "PNG")) {
        std::fprintf(stderr, "orvel-screenshot: cannot write %s\n",
                     output.toLocal8Bit().constData());
        return 1;
    }
    return 0;
}

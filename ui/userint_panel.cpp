// SPDX-License-Identifier: MIT
// The run time and panels: bringing Qt up, loading a panel file, binding callbacks by name, showing, discarding.
#include "ui/panelwidgets.h"
#include "ui/qtaccess.h"
#include "ui/uistate.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSet>
#include <QStringDecoder>
#include <QUiLoader>
#include <QVBoxLayout>

#include <cstdio>
#include <cstring>
#include <memory>

namespace uistate {

namespace {
UiState *state = nullptr;
}

UiState &Ui()
{
    Q_ASSERT_X(state, "userint", "the user-interface run time is not initialised (InitUIRunTime)");
    return *state;
}

bool InServedWait()
{
    return state && state->servedWaits > 0;
}

PanelRec *FindPanel(int panel)
{
    if (!state)
        return nullptr;
    auto it = state->panels.find(panel);
    return it == state->panels.end() ? nullptr : &it->second;
}

QWidget *Widget(int panel, int control)
{
    PanelRec *p = FindPanel(panel);
    if (!p) {
        qWarning("userint: panel %d is not loaded", panel);
        return nullptr;
    }
    if (control > 0 && control < static_cast<int>(p->ctrl.size()))
        return p->ctrl[static_cast<size_t>(control)];
    if (auto it = p->extra.find(control); it != p->extra.end())
        return it->second;
    const QByteArray what = QStringLiteral("control %1 is not on panel %2").arg(control).arg(panel).toLatin1();
    Q_ASSERT_X(false, "userint", what.constData());
    qWarning("userint: %s", what.constData());
    return nullptr;
}

int CtrlIdOf(const QObject *o)
{
    for (; o; o = o->parent()) {
        const QVariant v = o->property(kCtrlIdProperty);
        if (v.isValid())
            return v.toInt();
    }
    return 0;
}

QColor ToColor(int rgb)
{
    return QColor::fromRgb(static_cast<QRgb>(rgb & 0xFFFFFF));
}

int FromColor(const QColor &c)
{
    return static_cast<int>(c.rgb() & 0xFFFFFF);
}

QString ProgramPath(const char *fileName)
{
    const QString name = QString::fromLocal8Bit(fileName);
    if (QDir::isAbsolutePath(name))
        return name;
    return QDir(QCoreApplication::applicationDirPath()).filePath(name);
}

QString TextFromProgram(const char *text)
{
    const QByteArray bytes(text);
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString decoded = utf8.decode(bytes);
    return utf8.hasError() ? QString::fromLatin1(bytes) : decoded;
}

} // namespace uistate

using namespace uistate;

namespace {

class PanelLoader : public QUiLoader {
public:
    bool unknownClass = false;

    QWidget *createWidget(const QString &className, QWidget *parent, const QString &name) override
    {
        QWidget *w = nullptr;
        if (className == QLatin1String("Led"))
            w = new Led(parent);
        else if (className == QLatin1String("NumDisplay"))
            w = new NumDisplay(parent);
        else if (className == QLatin1String("NumericSlide"))
            w = new NumericSlide(parent);
        else if (className == QLatin1String("ColourPlaneGraph"))
            w = new ColourPlaneGraph(parent);
        else if (className == QLatin1String("ColourBar"))
            w = new ColourBar(parent);
        else if (className == QLatin1String("StripChart"))
            w = new StripChart(parent);
        else {
            // QUiLoader would quietly put a plain widget in place of a class it does not know.
            if (!availableWidgets().contains(className)) {
                unknownClass = true;
                return nullptr;
            }
            w = QUiLoader::createWidget(className, parent, name);
        }
        if (w)
            w->setObjectName(name);
        return w;
    }
};

// QUiLoader loads Qt Designer's own plugins (Qt Quick, QML, network: megabytes and milliseconds) as it is
// made, from the application's library paths; no panel names a class of theirs.
std::unique_ptr<PanelLoader> MakeLoader()
{
    const QStringList paths = QCoreApplication::libraryPaths();
    QCoreApplication::setLibraryPaths({});
    auto loader = std::make_unique<PanelLoader>();
    QCoreApplication::setLibraryPaths(paths);
    return loader;
}

// Every control the program names must be there, of its class; each is marked with its identifier.
bool FindControls(QWidget *root, PanelRec &rec)
{
    const UiState &ui = Ui();
    rec.ctrl.assign(static_cast<size_t>(std::max(1, ui.ctrlCount)), nullptr);
    for (int id = 1; id < ui.ctrlCount; ++id) {
        QWidget *w = root->findChild<QWidget *>(QLatin1String(ui.ctrlNames[id]));
        // A control of another kind would load and then show nothing the program puts into it.
        if (!w || (ui.ctrlClasses && !w->inherits(ui.ctrlClasses[id])))
            return false;
        w->setProperty(kCtrlIdProperty, id);
        rec.ctrl[static_cast<size_t>(id)] = w;
    }
    return true;
}

const CallbackEntry *LookUpCallback(const QString &name)
{
    const UiState &ui = Ui();
    for (int i = 0; i < ui.tableCount; ++i)
        if (name == QLatin1String(ui.table[i].name))
            return &ui.table[i];
    return nullptr;
}

// Binds every callback name written in the file; a name not in the table, or one on a widget the
// program does not address, fails the load.
bool BindCallbacks(QWidget *root, PanelRec &rec)
{
    QList<QWidget *> all = root->findChildren<QWidget *>();
    all.prepend(root);
    for (QWidget *w : all) {
        const QString name = w->property("callback").toString();
        if (name.isEmpty())
            continue;
        const CallbackEntry *e = LookUpCallback(name);
        const int id = w == root ? 0 : w->property(kCtrlIdProperty).toInt();
        const bool fits = e && (w == root ? e->panel != nullptr : (e->ctrl != nullptr && id > 0));
        if (!fits)
            return false;
        if (w == root)
            rec.panelCallback = e->panel;
        else
            rec.callbacks[id] = e->ctrl;
    }
    return true;
}

// Scrolls `bar` (showing `span` pixels) so that lo..hi is in sight, or as much of it as fits, from lo on.
void ScrollToSee(QScrollBar *bar, int lo, int hi, int span)
{
    int value = bar->value();
    if (hi > value + span)
        value = hi - span;
    if (lo < value)
        value = lo;
    bar->setValue(value);
}

// Brings the control that took the keyboard into sight, and with it, along each direction in which it fits the
// window, the whole of its group on the panel: the numbers beside a list come along with the list, and going
// back to a group at the other side scrolls back.
void FollowFocus(QScrollArea *area, QWidget *canvas, QWidget *focused)
{
    constexpr int kMargin = 8; // a little of what lies beyond, so the user sees there is more
    area->ensureWidgetVisible(focused);
    QWidget *group = focused;
    while (group->parentWidget() != canvas)
        group = group->parentWidget();
    const QRect g = group->geometry().adjusted(-kMargin, -kMargin, kMargin, kMargin);
    const QRect c =
        QRect(focused->mapTo(canvas, QPoint(0, 0)), focused->size()).adjusted(-kMargin, -kMargin, kMargin, kMargin);
    const QSize view = area->viewport()->size();
    const QRect x = g.width() <= view.width() ? g : c;
    const QRect y = g.height() <= view.height() ? g : c;
    ScrollToSee(area->horizontalScrollBar(), x.left(), x.right(), view.width());
    ScrollToSee(area->verticalScrollBar(), y.top(), y.bottom(), view.height());
}

// The panel's face keeps the size the file gives it and scrolls in a window of any size: smaller, scroll bars
// reach every control (and follow the keyboard); larger, the face stays in the middle. Controls marked belowPanel
// (a message line) stay in sight under it, across the window.
QWidget *ArrangeScrolling(QWidget *root)
{
    const QSize face = root->size();
    auto *area = new QScrollArea(root);
    area->setObjectName(QStringLiteral("PanelScrollArea"));
    area->setFrameShape(QFrame::NoFrame);
    area->setAlignment(Qt::AlignCenter);
    area->setFocusPolicy(Qt::NoFocus); // the controls take Tab; the area follows them
    auto *canvas = new QWidget(root);
    canvas->setObjectName(QStringLiteral("PanelFace"));
    auto *layout = new QVBoxLayout(root);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(area, 1);
    int below = 0;
    for (QObject *o : QObjectList(root->children())) {
        auto *w = qobject_cast<QWidget *>(o);
        if (!w || w == area || w == canvas || w->isWindow())
            continue;
        const bool hidden = w->isHidden();
        if (w->property("belowPanel").toBool()) {
            w->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed); // a long text must not widen the window
            layout->addWidget(w);
            below += w->height();
            continue;
        }
        const QRect at = w->geometry();
        w->setParent(canvas);
        w->setGeometry(at);
        w->setVisible(!hidden);
    }
    canvas->setFixedSize(face);
    area->setWidget(canvas);
    root->setMinimumSize(0, 0);
    root->resize(face.width(), face.height() + below);
    // A control that takes the keyboard is scrolled into sight, however it got it (Tab, a click, the program).
    QObject::connect(qApp, &QApplication::focusChanged, area, [area, canvas](QWidget *, QWidget *now) {
        if (now && canvas->isAncestorOf(now))
            FollowFocus(area, canvas, now);
    });
    return canvas;
}

// Controls the panel file keeps in front go there, and covered ones give up the keyboard.
void ArrangeStacking(QWidget *face)
{
    QSet<QWidget *> parents;
    for (QWidget *w : face->findChildren<QWidget *>()) {
        // The parts of a control lie over each other as the control pleases (before its first layout, all in
        // one place): stacking among them is not the panel's, and none of them is covered.
        if (CtrlIdOf(w->parentWidget()) != 0)
            continue;
        if (w->property("alwaysInFront").toBool())
            w->raise();
        parents.insert(w->parentWidget());
    }
    for (QWidget *p : parents)
        KeepFocusOffCovered(p);
}

void WireEvents(int handle, PanelRec &rec)
{
    QObject *d = MakeDispatcher(handle, rec.root);
    for (size_t id = 1; id < rec.ctrl.size(); ++id) {
        QWidget *w = rec.ctrl[id];
        PrepareControl(w);
        if (rec.callbacks.count(static_cast<int>(id)))
            AttachControl(d, static_cast<int>(id), w);
    }
}

} // namespace

namespace {
bool StartApplication(void *hInstance);
}

void PrepareUIRunTime()
{
    // Qt's own event loop rather than GLib's: GLib's wakes itself once for every event posted and every change to
    // the descriptors it watches, Qt's once until it has run. While polling that is several wake-ups a pass, and
    // the panel uses nothing of GLib's (its file dialog is Qt's own). Whoever set the variable has the last word.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
}

int InitUIRunTime(void *hInstance)
{
    if (!QApplication::instance() && !StartApplication(hInstance))
        return 0;
    if (state)
        return 1;
    state = new UiState;
    QObject::connect(qApp, &QObject::destroyed, [] {
        delete state;
        state = nullptr;
    });
    FrameGate::Install(qApp);
    InstallWidgetAccessibility();
    return 1;
}

namespace {

bool StartApplication(void *hInstance)
{
    static int argc = 1;
    static char name[] = "app";
    static char *defaultArgv[] = {name, nullptr};
    char **argv = defaultArgv;
    if (auto *args = static_cast<RunTimeArgs *>(hInstance); args && args->argc > 0) {
        argc = args->argc;
        argv = args->argv;
    }
    PrepareUIRunTime();
    new QApplication(argc, argv); // lives until exit, like the run-time engine it stands for
    // Only the panel callback ends the program; a closing message box must not.
    QApplication::setQuitOnLastWindowClosed(false);
    return QApplication::instance() != nullptr;
}

} // namespace

void SetCallbackTable(const CallbackEntry *table, int count)
{
    Ui().table = table;
    Ui().tableCount = count;
}

void SetControlNames(const char *const *names, const char *const *classes, int count)
{
    Ui().ctrlNames = names;
    Ui().ctrlClasses = classes;
    Ui().ctrlCount = count;
}

int LoadPanel(int parentPanel, const char *fileName, int panelNo)
{
    (void)parentPanel;
    if (!QApplication::instance())
        return -1;
    QFile file(ProgramPath(fileName));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const std::unique_ptr<PanelLoader> loader = MakeLoader();
    QWidget *root = loader->load(&file);
    PanelRec rec;
    rec.root = root;
    const bool ok = root && !loader->unknownClass && root->property("panelNumber").toInt() == panelNo &&
                    FindControls(root, rec) && BindCallbacks(root, rec);
    if (!ok) {
        delete root;
        return -1;
    }
    rec.canvas = ArrangeScrolling(root);
    ArrangeStacking(rec.canvas); // the window's own parts (scroll bars, the line below) are not the panel's
    Ui().ending = false;
    const int handle = Ui().nextPanel++;
    WireEvents(handle, rec);
    Ui().panels.emplace(handle, std::move(rec));
    return handle;
}

int DisplayPanel(int panel)
{
    PanelRec *p = FindPanel(panel);
    if (!p)
        return -1;
    // A panel larger than the screen starts as large as the screen allows; scroll bars reach the rest.
    if (const QScreen *screen = p->root->screen()) {
        const QSize room = screen->availableGeometry().size();
        p->root->resize(p->root->size().boundedTo(room));
    }
    p->root->show();
    p->root->raise();
    p->root->activateWindow();
    return 0;
}

int DiscardPanel(int panel)
{
    PanelRec *p = FindPanel(panel);
    if (!p)
        return -1;
    QWidget *root = p->root;
    Ui().panels.erase(panel);
    root->hide();
    delete root;
    return 0;
}

int GetProjectDir(char directory[kPathChars])
{
    const QByteArray dir = QFile::encodeName(QDir::toNativeSeparators(QCoreApplication::applicationDirPath()));
    if (dir.size() >= kPathChars) {
        directory[0] = '\0';
        return -1;
    }
    std::memcpy(directory, dir.constData(), size_t(dir.size()) + 1);
    return 0;
}

int DisplayImageFile(int panel, int control, const char *fileName)
{
    auto *l = qobject_cast<QLabel *>(Widget(panel, control));
    if (!l)
        return -1;
    QPixmap pm;
    if (!pm.load(ProgramPath(fileName)))
        return -1;
    l->setPixmap(pm);
    return 0;
}

QWidget *PanelWidget(int panel)
{
    PanelRec *p = FindPanel(panel);
    return p ? p->root : nullptr;
}

QWidget *CtrlWidget(int panel, int control)
{
    return Widget(panel, control);
}

std::vector<QWidget *> NewCtrlWidgets(int panel)
{
    std::vector<QWidget *> out;
    if (PanelRec *p = FindPanel(panel))
        for (auto &[id, w] : p->extra)
            out.push_back(w);
    return out;
}

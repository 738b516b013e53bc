// SPDX-License-Identifier: MIT
// User-interface services on Qt Widgets: panel loading, callbacks by name, control values and attributes, graphs.
#include "ui/userint.h"

#include "ui/controls.h"
#include "ui/panelwidgets.h"
#include "ui/qtaccess.h"

#include <QAbstractItemView>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QStyledItemDelegate>
#include <QTableWidget>
#include <QUiLoader>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>

namespace {

const char *const kCtrlNames[kCtrlCount] = {
    nullptr,
    "EditConnect",
    "DispStatus",
    "SelectRAM",
    "SelectEEPROM",
    "SelectFILE",
    "ButtonSend",
    "ButtonGet",
    "ButtonGo",
    "ButtonStop",
    "EditSigWinHI",
    "EditSigWinLo",
    "SlidePower",
    "EditAverage",
    "EditOutmode",
    "EditHold",
    "TeachTable",
    "EditNo",
    "RadioInc",
    "ButtonTeachDataTo",
    "ButtonResetTable",
    "ButtonApplyFromAll",
    "ButtonZoom",
    "ButtonAutoAdjust",
    "GraphData1",
    "GraphData2",
    "SelectSource",
    "DispX",
    "DispY",
    "DispINT",
    "DispRAW",
    "DispRED",
    "DispGREEN",
    "DispBLUE",
    "LedCol1",
    "LedCol2",
    "DispCOL",
    "CaptionX",
    "CaptionY",
    "CaptionINT",
    "CaptionRAW",
    "GraphRaw1",
    "LogoBackdrop",
    "LogoPicture",
};

const char *const kCtrlIdProperty = "quillexCtrlId";

class Dispatcher;

struct PanelRec {
    QWidget *root = nullptr;
    QWidget *ctrl[kCtrlCount] = {};
    std::map<int, QWidget *> extra; // made by NewCtrl
    std::map<int, CtrlCallbackPtr> callbacks;
    PanelCallbackPtr panelCallback = nullptr;
    Dispatcher *dispatcher = nullptr;
};

struct UiState {
    const CallbackEntry *table = nullptr;
    int tableCount = 0;
    std::map<int, PanelRec> panels;
    int nextPanel = 1;
    int nextNewCtrl = kFirstNewCtrl;
    QEventLoop *loop = nullptr;
    bool quitRequested = false;
    bool ending = false; // the program's end has been asked for; the panel raises no more events
    int quitCode = 0;
    std::vector<PopupRecord> *popupSink = nullptr;
};

UiState &Ui()
{
    static UiState ui;
    return ui;
}

PanelRec *FindPanel(int panel)
{
    auto it = Ui().panels.find(panel);
    return it == Ui().panels.end() ? nullptr : &it->second;
}

QWidget *Widget(int panel, int control)
{
    PanelRec *p = FindPanel(panel);
    if (!p) {
        qWarning("userint: panel %d is not loaded", panel);
        return nullptr;
    }
    if (control > 0 && control < kCtrlCount)
        return p->ctrl[control];
    if (auto it = p->extra.find(control); it != p->extra.end())
        return it->second;
    qWarning("userint: control %d is not on panel %d", control, panel);
    return nullptr;
}

QColor ToColor(int rgb)
{
    return QColor::fromRgb(static_cast<QRgb>(rgb & 0xFFFFFF));
}
int FromColor(const QColor &c)
{
    return static_cast<int>(c.rgb() & 0xFFFFFF);
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

// A number typed but not yet confirmed with Enter is what the panel shows, so it is what a callback must
// read: a shortcut key leaves the focus where it was and would otherwise act on the old value. Text that
// is no number in range is corrected as Enter corrects it.
void CommitFocusedEditor()
{
    QWidget *w = QApplication::focusWidget();
    while (w && !qobject_cast<QAbstractSpinBox *>(w))
        w = w->parentWidget();
    auto *spin = qobject_cast<QAbstractSpinBox *>(w);
    if (!spin)
        return;
    QAbstractItemView *view = nullptr;
    for (QWidget *up = spin->parentWidget(); up && !view; up = up->parentWidget())
        view = qobject_cast<QAbstractItemView *>(up);
    if (!view) {
        spin->interpretText();
        return;
    }
    // A table cell's editor: store its number and close it, so no stale editor can later write over
    // a value the program puts into that cell.
    QAbstractItemDelegate *delegate = view->itemDelegate();
    emit delegate->commitData(spin);
    emit delegate->closeEditor(spin, QAbstractItemDelegate::NoHint);
}

// Turns widget events into callbacks: right clicks, Enter on numeric inputs, closing the window.
class Dispatcher : public QObject {
public:
    Dispatcher(int panel, QObject *parent) : QObject(parent), panel_(panel) {}

    void fire(int control, int event)
    {
        // Events queued behind an accepted close belong to a window that is going away.
        if (Ui().ending)
            return;
        PanelRec *p = FindPanel(panel_);
        if (!p)
            return;
        auto it = p->callbacks.find(control);
        if (it == p->callbacks.end())
            return;
        if (event != EVENT_RIGHT_CLICK) // a help box reads nothing from the panel
            CommitFocusedEditor();
        it->second(panel_, control, event, nullptr, 0, 0);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        PanelRec *p = FindPanel(panel_);
        if (!p)
            return false;
        if (watched == p->root && event->type() == QEvent::Close) {
            // The program decides when the window goes: the panel callback asks the loop to end.
            event->ignore();
            if (p->panelCallback)
                p->panelCallback(panel_, EVENT_CLOSE, nullptr, 0, 0);
            return true;
        }
        const int control = CtrlIdOf(watched);
        if (control == 0 || !p->callbacks.count(control))
            return false;
        switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick:
            if (static_cast<QMouseEvent *>(event)->button() == Qt::RightButton) {
                if (event->type() == QEvent::MouseButtonPress)
                    fire(control, EVENT_RIGHT_CLICK);
                return true;
            }
            return false;
        case QEvent::MouseButtonRelease: return static_cast<QMouseEvent *>(event)->button() == Qt::RightButton;
        case QEvent::ContextMenu: return true;
        case QEvent::KeyPress: {
            const int key = static_cast<QKeyEvent *>(event)->key();
            auto *spin = qobject_cast<QSpinBox *>(watched);
            if (spin && (key == Qt::Key_Return || key == Qt::Key_Enter)) {
                // Enter commits even an unchanged number, so the user can retry the same port.
                const int before = spin->value();
                spin->interpretText();
                if (spin->value() == before)
                    fire(control, EVENT_COMMIT);
                return true;
            }
            return false;
        }
        default: return false;
        }
    }

private:
    int panel_;
};

class PanelLoader : public QUiLoader {
public:
    bool unknownClass = false;
    QString unknownName;

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
                unknownName = className;
                return nullptr;
            }
            w = QUiLoader::createWidget(className, parent, name);
        }
        if (w)
            w->setObjectName(name);
        return w;
    }
};

// Table cells hold unsigned 16-bit numbers; the editor refuses anything else.
class U16Delegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QWidget *createEditor(QWidget *parent, const QStyleOptionViewItem &, const QModelIndex &) const override
    {
        auto *s = new QSpinBox(parent);
        s->setRange(0, 65535);
        s->setButtonSymbols(QAbstractSpinBox::NoButtons);
        s->setFrame(false);
        return s;
    }
    void setEditorData(QWidget *editor, const QModelIndex &index) const override
    {
        static_cast<QSpinBox *>(editor)->setValue(index.data().toString().toInt());
    }
    void setModelData(QWidget *editor, QAbstractItemModel *model, const QModelIndex &index) const override
    {
        auto *s = static_cast<QSpinBox *>(editor);
        s->interpretText();
        model->setData(index, QString::number(s->value()));
    }
};

void ConnectEvents(Dispatcher *d, int control, QWidget *w)
{
    auto fire = [d, control](int event) { d->fire(control, event); };
    if (auto *b = qobject_cast<QPushButton *>(w)) {
        if (b->isCheckable())
            QObject::connect(b, &QPushButton::clicked, d, [fire] { fire(EVENT_VAL_CHANGED); });
        else
            QObject::connect(b, &QPushButton::clicked, d, [fire] { fire(EVENT_COMMIT); });
    } else if (auto *r = qobject_cast<QRadioButton *>(w)) {
        QObject::connect(r, &QRadioButton::clicked, d, [fire] { fire(EVENT_COMMIT); });
    } else if (auto *s = qobject_cast<QSpinBox *>(w)) {
        s->setKeyboardTracking(false);
        QObject::connect(s, &QSpinBox::valueChanged, d, [fire] { fire(EVENT_COMMIT); });
    } else if (auto *c = qobject_cast<QComboBox *>(w)) {
        QObject::connect(c, &QComboBox::activated, d, [fire] { fire(EVENT_COMMIT); });
    } else if (auto *g = qobject_cast<ColourPlaneGraph *>(w)) {
        QObject::connect(g, &ColourPlaneGraph::cursorMovedByUser, d, [fire] { fire(EVENT_VAL_CHANGED); });
    } else if (auto *sl = qobject_cast<NumericSlide *>(w)) {
        QObject::connect(sl->slider(), &QSlider::sliderReleased, d, [fire] { fire(EVENT_COMMIT); });
    }
}

QString ProgramPath(const char *fileName)
{
    const QString name = QString::fromLocal8Bit(fileName);
    if (QDir::isAbsolutePath(name))
        return name;
    return QDir(QCoreApplication::applicationDirPath()).filePath(name);
}

int ReadInt(QWidget *w, bool *ok)
{
    *ok = true;
    if (auto *n = qobject_cast<NumDisplay *>(w))
        return n->value();
    if (auto *s = qobject_cast<QSpinBox *>(w))
        return s->value();
    if (auto *b = qobject_cast<QAbstractButton *>(w))
        return b->isChecked() ? 1 : 0;
    if (auto *c = qobject_cast<QComboBox *>(w)) {
        const QVariant data = c->currentData();
        return data.isValid() ? data.toInt() : c->currentIndex();
    }
    if (auto *l = qobject_cast<Led *>(w))
        return l->value();
    if (auto *sl = qobject_cast<NumericSlide *>(w))
        return sl->value();
    if (auto *bar = qobject_cast<ColourBar *>(w))
        return bar->value();
    if (auto *lb = qobject_cast<QLabel *>(w))
        return lb->text().toInt(ok);
    *ok = false;
    return 0;
}

// A two-choice selector keeps the codes of its items in a property, so values pass through unchanged.
void SetupCodes(QComboBox *c)
{
    const QStringList codes = c->property("codes").toString().split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (int i = 0; i < codes.size() && i < c->count(); ++i)
        c->setItemData(i, codes[i].trimmed().toInt());
}

void SetComboValue(QComboBox *c, int value)
{
    if (!c->itemData(0).isValid()) {
        if (value >= 0 && value < c->count())
            c->setCurrentIndex(value);
        return;
    }
    int i = c->findData(value);
    if (i < 0) {
        // A code the panel does not know must survive the next send unchanged.
        c->addItem(QStringLiteral("code %1").arg(value), value);
        i = c->count() - 1;
    }
    c->setCurrentIndex(i);
}

} // namespace

const char *CtrlName(int control)
{
    return control > 0 && control < kCtrlCount ? kCtrlNames[control] : nullptr;
}

int InitUIRunTime(void *hInstance)
{
    if (QApplication::instance())
        return 1;
    static int argc = 1;
    static char name[] = "QuillexEMBV10";
    static char *defaultArgv[] = {name, nullptr};
    char **argv = defaultArgv;
    if (auto *args = static_cast<RunTimeArgs *>(hInstance); args && args->argc > 0) {
        argc = args->argc;
        argv = args->argv;
    }
    new QApplication(argc, argv); // lives until exit, like the run-time engine it stands for
    // Only the panel callback ends the program; a closing message box must not.
    QApplication::setQuitOnLastWindowClosed(false);
    return QApplication::instance() ? 1 : 0;
}

void SetCallbackTable(const CallbackEntry *table, int count)
{
    Ui().table = table;
    Ui().tableCount = count;
}

int LoadPanel(int parentPanel, const char *fileName, int panelNo)
{
    (void)parentPanel;
    if (panelNo != kPanelNumber || !QApplication::instance())
        return -1;
    QFile file(ProgramPath(fileName));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    PanelLoader loader;
    QWidget *root = loader.load(&file);
    if (!root || loader.unknownClass) {
        delete root;
        return -1;
    }

    Ui().ending = false;
    const int handle = Ui().nextPanel++;
    PanelRec rec;
    rec.root = root;
    for (int id = 1; id < kCtrlCount; ++id) {
        QWidget *w = root->findChild<QWidget *>(QLatin1String(kCtrlNames[id]));
        if (!w) {
            delete root;
            return -1;
        }
        w->setProperty(kCtrlIdProperty, id);
        rec.ctrl[id] = w;
    }

    auto lookup = [](const QString &name) -> const CallbackEntry * {
        for (int i = 0; i < Ui().tableCount; ++i)
            if (name == QLatin1String(Ui().table[i].name))
                return &Ui().table[i];
        return nullptr;
    };
    QList<QWidget *> all = root->findChildren<QWidget *>();
    all.prepend(root);
    for (QWidget *w : all) {
        const QString name = w->property("callback").toString();
        if (name.isEmpty())
            continue;
        const CallbackEntry *e = lookup(name);
        const int id = w == root ? 0 : w->property(kCtrlIdProperty).toInt();
        const bool fits = e && (w == root ? e->panel != nullptr : (e->ctrl != nullptr && id > 0));
        if (!fits) {
            delete root;
            return -1;
        }
        if (w == root)
            rec.panelCallback = e->panel;
        else
            rec.callbacks[id] = e->ctrl;
    }

    auto *d = new Dispatcher(handle, root);
    rec.dispatcher = d;
    root->installEventFilter(d);
    for (int id = 1; id < kCtrlCount; ++id) {
        QWidget *w = rec.ctrl[id];
        if (auto *c = qobject_cast<QComboBox *>(w))
            SetupCodes(c);
        if (auto *t = qobject_cast<QTableWidget *>(w))
            t->setItemDelegate(new U16Delegate(t));
        if (auto *l = qobject_cast<QLabel *>(w); l && !qobject_cast<NumDisplay *>(w))
            l->setTextFormat(Qt::PlainText);
        if (!rec.callbacks.count(id))
            continue;
        w->installEventFilter(d);
        for (QWidget *child : w->findChildren<QWidget *>())
            child->installEventFilter(d);
        ConnectEvents(d, id, w);
    }
    Ui().panels.emplace(handle, std::move(rec));
    return handle;
}

int DisplayPanel(int panel)
{
    PanelRec *p = FindPanel(panel);
    if (!p)
        return -1;
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

int RunUserInterface()
{
    UiState &ui = Ui();
    if (ui.quitRequested) {
        ui.quitRequested = false;
        ui.ending = false;
        return ui.quitCode;
    }
    QEventLoop loop;
    ui.loop = &loop;
    const int code = loop.exec();
    ui.loop = nullptr;
    ui.quitRequested = false;
    ui.ending = false;
    return code;
}

int QuitUserInterface(int returnCode)
{
    UiState &ui = Ui();
    ui.quitCode = returnCode;
    ui.ending = true;
    if (ui.loop)
        ui.loop->exit(returnCode); // takes effect once the running callback has returned to the loop
    else
        ui.quitRequested = true;
    return 0;
}

int ProcessSystemEvents()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    return 0;
}

int DrawPendingDisplays()
{
    FrameGate::DrawIfDue();
    return 0;
}

int GetProjectDir(char directory[260])
{
    const QByteArray dir = QDir::toNativeSeparators(QCoreApplication::applicationDirPath()).toLocal8Bit();
    std::snprintf(directory, 260, "%s", dir.constData());
    return 0;
}

int SetCtrlVal(int panel, int control, int value)
{
    QWidget *w = Widget(panel, control);
    if (!w)
        return -1;
    const QSignalBlocker block(w);
    if (auto *n = qobject_cast<NumDisplay *>(w)) {
        n->setValue(value);
    } else if (auto *s = qobject_cast<QSpinBox *>(w))
        s->setValue(value);
    else if (auto *b = qobject_cast<QAbstractButton *>(w))
        b->setChecked(value != 0);
    else if (auto *c = qobject_cast<QComboBox *>(w))
        SetComboValue(c, value);
    else if (auto *l = qobject_cast<Led *>(w))
        l->setValue(value);
    else if (auto *sl = qobject_cast<NumericSlide *>(w)) {
        const QSignalBlocker inner(sl->slider());
        sl->setValue(value);
    } else if (auto *bar = qobject_cast<ColourBar *>(w)) {
        bar->setValue(value);
    } else if (auto *lb = qobject_cast<QLabel *>(w))
        lb->setText(QString::number(value));
    else
        return -1;
    return 0;
}

int SetCtrlVal(int panel, int control, double value)
{
    return SetCtrlVal(panel, control, static_cast<int>(std::lround(value)));
}

int SetCtrlVal(int panel, int control, const char *text)
{
    auto *l = qobject_cast<QLabel *>(Widget(panel, control));
    if (!l)
        return -1;
    // Text from outside (the sensor, file names) must never be taken for markup.
    l->setTextFormat(Qt::PlainText);
    l->setText(QString::fromLatin1(text));
    SpeakShownText(l, l->text());
    if (l->property("autoSize").toBool())
        l->adjustSize();
    // Status texts often precede a wait that handles no events; draw them now so the user sees them.
    if (l->isVisible())
        l->repaint();
    return 0;
}

int GetCtrlVal(int panel, int control, unsigned short *value)
{
    int v = 0;
    const int r = GetCtrlVal(panel, control, &v);
    if (r >= 0)
        *value = static_cast<unsigned short>(std::clamp(v, 0, 65535));
    return r;
}

int GetCtrlVal(int panel, int control, int *value)
{
    QWidget *w = Widget(panel, control);
    if (!w)
        return -1;
    bool ok = false;
    const int v = ReadInt(w, &ok);
    if (!ok)
        return -1;
    *value = v;
    return 0;
}

int GetCtrlVal(int panel, int control, double *value)
{
    int v = 0;
    const int r = GetCtrlVal(panel, control, &v);
    if (r >= 0)
        *value = v;
    return r;
}

int GetCtrlVal(int panel, int control, char *text)
{
    auto *l = qobject_cast<QLabel *>(Widget(panel, control));
    if (!l)
        return -1;
    std::snprintf(text, 256, "%s", l->text().toLatin1().constData());
    return 0;
}

int SetCtrlAttribute(int panel, int control, int attribute, int value)
{
    QWidget *w = Widget(panel, control);
    PanelRec *p = FindPanel(panel);
    if (!w || !p)
        return -1;
    switch (attribute) {
    case ATTR_VISIBLE: w->setVisible(value != 0); return 0;
    case ATTR_ZPLANE_POSITION:
        w->setProperty("zplane", value);
        if (value <= 0)
            w->raise();
        else
            w->lower();
        return 0;
    case ATTR_TEXT_COLOR: {
        QPalette pal = w->palette();
        pal.setColor(QPalette::WindowText, ToColor(value));
        pal.setColor(QPalette::Text, ToColor(value));
        w->setPalette(pal);
        return 0;
    }
    case ATTR_TEXT_BGCOLOR:
    case ATTR_FRAME_COLOR: {
        if (value & VAL_TRANSPARENT) {
            w->setAutoFillBackground(false);
        } else {
            QPalette pal = w->palette();
            pal.setColor(QPalette::Window, ToColor(value));
            pal.setColor(QPalette::Base, ToColor(value));
            w->setPalette(pal);
            w->setAutoFillBackground(true);
        }
        return 0;
    }
    case ATTR_TEXT_POINT_SIZE: {
        QFont f = w->font();
        f.setPointSize(std::max(1, value));
        w->setFont(f);
        if (w->property("autoSize").toBool())
            w->adjustSize();
        return 0;
    }
    case ATTR_LEFT:
    case ATTR_TOP: {
        const QPoint inPanel = w->parentWidget()->mapTo(p->root, w->pos());
        const QPoint target = attribute == ATTR_LEFT ? QPoint(value, inPanel.y()) : QPoint(inPanel.x(), value);
        w->move(w->parentWidget()->mapFrom(p->root, target));
        return 0;
    }
    case ATTR_POINTS_PER_SCREEN:
        if (auto *s = qobject_cast<StripChart *>(w)) {
            if (s->pointsPerScreen() != value)
                s->setPointsPerScreen(value);
            return 0;
        }
        return -1;
    default: return -1;
    }
}

int SetCtrlAttribute(int panel, int control, int attribute, const char *value)
{
    QWidget *w = Widget(panel, control);
    if (!w)
        return -1;
    switch (attribute) {
    case ATTR_TEXT_FONT: {
        QFont f = w->font();
        if (std::strcmp(value, VAL_APP_META_FONT) == 0)
            f.setFamily(QApplication::font().family());
        else
            f.setFamily(QString::fromLatin1(value));
        w->setFont(f);
        if (w->property("autoSize").toBool())
            w->adjustSize();
        return 0;
    }
    case ATTR_TOOLTIP_TEXT: w->setToolTip(QString::fromLocal8Bit(value).toHtmlEscaped()); return 0;
    default: return -1;
    }
}

int GetCtrlAttribute(int panel, int control, int attribute, int *value)
{
    QWidget *w = Widget(panel, control);
    PanelRec *p = FindPanel(panel);
    if (!w || !p)
        return -1;
    switch (attribute) {
    case ATTR_VISIBLE: *value = w->isHidden() ? 0 : 1; return 0;
    case ATTR_ZPLANE_POSITION: *value = w->property("zplane").toInt(); return 0;
    case ATTR_TEXT_COLOR: *value = FromColor(w->palette().color(QPalette::WindowText)); return 0;
    case ATTR_TEXT_BGCOLOR:
    case ATTR_FRAME_COLOR:
        *value = w->autoFillBackground() ? FromColor(w->palette().color(QPalette::Window)) : VAL_TRANSPARENT;
        return 0;
    case ATTR_TEXT_POINT_SIZE: *value = w->font().pointSize(); return 0;
    case ATTR_LEFT: *value = w->parentWidget()->mapTo(p->root, w->pos()).x(); return 0;
    case ATTR_TOP: *value = w->parentWidget()->mapTo(p->root, w->pos()).y(); return 0;
    case ATTR_POINTS_PER_SCREEN:
        if (auto *s = qobject_cast<StripChart *>(w)) {
            *value = s->pointsPerScreen();
            return 0;
        }
        return -1;
    default: return -1;
    }
}

int NewCtrl(int panel, int controlKind, const char *label, int top, int left)
{
    PanelRec *p = FindPanel(panel);
    if (!p || controlKind != CTRL_TEXT_MSG)
        return -1;
    auto *l = new QLabel(p->root);
    l->setTextFormat(Qt::PlainText);
    l->setText(QString::fromLatin1(label));
    l->setProperty("autoSize", true);
    l->move(left, top);
    l->adjustSize();
    l->show();
    l->raise();
    const int id = Ui().nextNewCtrl++;
    p->extra[id] = l;
    return id;
}

int SetTableCellVal(int panel, int control, Point cell, unsigned short value)
{
    auto *t = qobject_cast<QTableWidget *>(Widget(panel, control));
    if (!t || cell.y < 1 || cell.y > t->rowCount() || cell.x < 1 || cell.x > t->columnCount())
        return -1;
    const QSignalBlocker block(t);
    QTableWidgetItem *item = t->item(cell.y - 1, cell.x - 1);
    if (!item) {
        item = new QTableWidgetItem;
        item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
        t->setItem(cell.y - 1, cell.x - 1, item);
    }
    item->setText(QString::number(value));
    return 0;
}

int GetTableCellVal(int panel, int control, Point cell, unsigned short *value)
{
    auto *t = qobject_cast<QTableWidget *>(Widget(panel, control));
    if (!t || cell.y < 1 || cell.y > t->rowCount() || cell.x < 1 || cell.x > t->columnCount())
        return -1;
    const QTableWidgetItem *item = t->item(cell.y - 1, cell.x - 1);
    const int v = item ? item->text().trimmed().toInt() : 0;
    *value = static_cast<unsigned short>(std::clamp(v, 0, 65535));
    return 0;
}

namespace {
std::vector<double> ToDoubles(const void *array, int n, int type)
{
    std::vector<double> out(static_cast<size_t>(std::max(0, n)));
    for (int i = 0; i < n; ++i)
        out[static_cast<size_t>(i)] =
            type == VAL_DOUBLE ? static_cast<const double *>(array)[i] : static_cast<const unsigned short *>(array)[i];
    return out;
}
} // namespace

int PlotXY(int panel, int control, const void *xArray, const void *yArray, int numberOfPoints, int xType, int yType,
           int plotStyle, int pointStyle, int lineStyle, int pointFrequency, int color)
{
    (void)pointStyle;
    (void)lineStyle;
    (void)pointFrequency;
    auto *g = qobject_cast<ColourPlaneGraph *>(Widget(panel, control));
    if (!g || numberOfPoints < 0)
        return -1;
    return g->plotXY(ToDoubles(xArray, numberOfPoints, xType), ToDoubles(yArray, numberOfPoints, yType), plotStyle,
                     color);
}

int PlotArc(int panel, int control, double x1, double y1, double x2, double y2, int beginAngle, int arcLength,
            int lineColor, int fillColor)
{
    auto *g = qobject_cast<ColourPlaneGraph *>(Widget(panel, control));
    if (!g || beginAngle != 0 || arcLength != 3600)
        return -1;
    return g->plotArc(x1, y1, x2, y2, lineColor, fillColor);
}

int DeleteGraphPlot(int panel, int control, int plotHandle, int refresh)
{
    auto *g = qobject_cast<ColourPlaneGraph *>(Widget(panel, control));
    if (!g)
        return -1;
    g->deletePlot(plotHandle);
    if (refresh == VAL_IMMEDIATE_DRAW)
        g->replot();
    return 0;
}

int SetAxisScalingMode(int panel, int control, int axis, int mode, double min, double max)
{
    auto *g = qobject_cast<QCustomPlot *>(Widget(panel, control));
    if (!g || mode != VAL_MANUAL)
        return -1;
    (axis == VAL_XAXIS ? g->xAxis : g->yAxis)->setRange(min, max);
    g->replot(QCustomPlot::rpQueuedReplot);
    return 0;
}

int SetGraphCursor(int panel, int control, int cursor, double x, double y)
{
    auto *g = qobject_cast<ColourPlaneGraph *>(Widget(panel, control));
    if (!g || cursor != 1)
        return -1;
    g->setCursorPos(x, y);
    return 0;
}

int GetGraphCursor(int panel, int control, int cursor, double *x, double *y)
{
    auto *g = qobject_cast<ColourPlaneGraph *>(Widget(panel, control));
    if (!g || cursor != 1)
        return -1;
    *x = g->cursorPos().x();
    *y = g->cursorPos().y();
    return 0;
}

int PlotStripChart(int panel, int control, const void *array, int numberOfPoints, int startingIndex, int skipCount,
                   int dataType)
{
    auto *s = qobject_cast<StripChart *>(Widget(panel, control));
    if (!s || dataType != VAL_DOUBLE || numberOfPoints < 0 || startingIndex < 0 || skipCount != 0)
        return -1;
    s->append(static_cast<const double *>(array) + startingIndex, numberOfPoints);
    return 0;
}

int SetTraceAttribute(int panel, int control, int trace, int attribute, int value)
{
    auto *s = qobject_cast<StripChart *>(Widget(panel, control));
    if (!s || attribute != ATTR_TRACE_VISIBLE || trace < 1 || trace > s->traces())
        return -1;
    s->setTraceVisible(trace, value != 0);
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

int MessagePopup(const char *title, const char *message)
{
    if (Ui().popupSink) {
        Ui().popupSink->push_back({title, message});
        return 0;
    }
    QWidget *parent = QApplication::activeWindow();
    QMessageBox box(QMessageBox::NoIcon, QString::fromLatin1(title), QString::fromLatin1(message), QMessageBox::Ok,
                    parent);
    box.setTextFormat(Qt::PlainText);
    box.exec();
    return 0;
}

void SetPopupSink(std::vector<PopupRecord> *sink)
{
    Ui().popupSink = sink;
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

#include "ui.h"

#include "test_hooks.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QFont>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QLibraryInfo>
#include <QTranslator>
#include <QPushButton>

#include <array>

namespace ui {

// ---------------------------------------------------------------------------
// Message boxes

namespace {

QMessageBox::StandardButton standard_button(int result)
{
    switch (result) {
    case result_cancel: return QMessageBox::Cancel;
    case result_yes: return QMessageBox::Yes;
    case result_no: return QMessageBox::No;
    default: return QMessageBox::Ok;
    }
}

int result_of(int standard)
{
    switch (standard) {
    case QMessageBox::Cancel: return result_cancel;
    case QMessageBox::Yes: return result_yes;
    case QMessageBox::No: return result_no;
    case QMessageBox::Ok: return result_ok;
    default: return result_cancel;
    }
}

QString button_text(int result)
{
    switch (result) {
    case result_cancel: return QStringLiteral("取消");
    case result_yes: return QStringLiteral("是(&Y)");
    case result_no: return QStringLiteral("否(&N)");
    default: return QStringLiteral("确定");
    }
}

}  // namespace

MessageBoxLayout decode_message_box_flags(int flags)
{
    MessageBoxLayout layout;
    switch (flags & mb::buttons_part) {
    case mb::ok_cancel: layout.buttons = {result_ok, result_cancel}; break;
    case mb::yes_no_cancel: layout.buttons = {result_yes, result_no, result_cancel}; break;
    case mb::yes_no: layout.buttons = {result_yes, result_no}; break;
    default: layout.buttons = {result_ok}; break;
    }

    switch (flags & mb::icon_part) {
    case mb::icon_error: layout.icon = QMessageBox::Critical; break;
    case mb::icon_question: layout.icon = QMessageBox::Question; break;
    case mb::icon_warning: layout.icon = QMessageBox::Warning; break;
    case mb::icon_information: layout.icon = QMessageBox::Information; break;
    default: layout.icon = QMessageBox::NoIcon; break;
    }

    // A default button beyond the last one falls back to the first.
    std::size_t default_index = 0;
    switch (flags & mb::default_button_part) {
    case mb::default_button2: default_index = 1; break;
    case mb::default_button3: default_index = 2; break;
    default: break;
    }
    if (default_index >= layout.buttons.size()) default_index = 0;
    layout.default_result = layout.buttons[default_index];

    if (layout.buttons.size() == 1)
        layout.escape_result = layout.buttons.front();
    else if (layout.buttons.back() == result_cancel)
        layout.escape_result = result_cancel;
    else
        layout.escape_result = result_no;
    return layout;
}

int message_box(QWidget *parent, const QString &text, const QString &caption, int flags)
{
    return message_box(parent, text, caption, flags, QString());
}

int message_box(QWidget *parent, const QString &text, const QString &caption, int flags, const QString &details)
{
    const MessageBoxLayout layout = decode_message_box_flags(flags);
    if (testing::hooks_active())
        return testing::detail::hooked_message_box(text, caption, flags, layout.escape_result, details);

    QMessageBox box(parent);
    box.setWindowTitle(caption);
    box.setText(text);
    if (!details.isEmpty()) box.setDetailedText(details);
    box.setIcon(layout.icon);
    for (int result : layout.buttons) {
        QPushButton *button = box.addButton(standard_button(result));
        button->setText(button_text(result));
        if (result == layout.default_result) box.setDefaultButton(button);
        if (result == layout.escape_result) box.setEscapeButton(button);
    }
    const int standard = box.exec();
    // exec() returns the standard button pressed; a box closed any other way
    // counts as cancelled.
    if (box.clickedButton() == nullptr) return layout.escape_result;
    return result_of(standard);
}

// ---------------------------------------------------------------------------
// Errors

QString error_caption() { return QStringLiteral("错误"); }

void show_error(const QString &message, QWidget *parent)
{
    if (testing::hooks_active()) {
        testing::detail::hooked_error(message);
        return;
    }
    QMessageBox box(parent);
    box.setWindowTitle(error_caption());
    box.setText(message);
    box.setIcon(QMessageBox::Critical);
    QPushButton *ok = box.addButton(QMessageBox::Ok);
    ok->setText(button_text(result_ok));
    box.setDefaultButton(ok);
    box.setEscapeButton(ok);
    box.exec();
}

void report_exception(QWidget *context, const char *what) noexcept
{
    try {
        QString message = what ? QString::fromUtf8(what) : QStringLiteral("未知错误");
        if (message.isEmpty()) message = QStringLiteral("未知错误");
        show_error(message, context);
    } catch (...) {
        // Nothing more can be shown; the event loop must not see the error.
    }
}

// ---------------------------------------------------------------------------
// Modal windows

int show_modal(QDialog *dialog)
{
    if (!dialog) return QDialog::Rejected;
    if (testing::hooks_active()) testing::detail::prepare_modal(dialog);
    // exec() itself copes with a dialog that deletes itself on close.
    return dialog->exec();
}

// ---------------------------------------------------------------------------
// Wait cursor

namespace {
int busy_count = 0;
}

void set_busy(bool busy)
{
    if (busy) {
        if (busy_count++ == 0 && qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
            QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    } else if (busy_count > 0) {
        if (--busy_count == 0 && qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
            QGuiApplication::restoreOverrideCursor();
    }
}

int busy_depth() { return busy_count; }

// ---------------------------------------------------------------------------
// Qt's own texts

bool qt_texts_translated()
{
    return QCoreApplication::translate("QPlatformTheme", "Cancel") != QLatin1String("Cancel");
}

std::unique_ptr<QTranslator> install_qt_translations()
{
    if (!QCoreApplication::instance() || qt_texts_translated()) return nullptr;
    auto translator = std::make_unique<QTranslator>();
    if (!translator->load(QStringLiteral("qtbase_zh_CN"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        return nullptr;
    if (!QCoreApplication::installTranslator(translator.get())) return nullptr;
    return translator;
}

// ---------------------------------------------------------------------------
// Fonts

QString chinese_substitute_family()
{
    static const std::array<const char *, 5> candidates = {
        "WenQuanYi Micro Hei", "WenQuanYi Zen Hei", "Noto Sans CJK SC", "Noto Serif CJK SC",
        "AR PL UMing CN"};
    const QStringList installed = QFontDatabase::families();
    for (const char *name : candidates) {
        const QString family = QString::fromLatin1(name);
        if (installed.contains(family, Qt::CaseInsensitive)) return family;
    }
    return {};
}

void install_font_substitutions()
{
    const QString family = chinese_substitute_family();
    if (family.isEmpty()) return;
    // The forms' fonts under their Chinese and Western names.
    static const std::array<const char *, 6> names = {"宋体", "新宋体", "SimSun", "NSimSun",
                                                      "隶书", "LiSu"};
    for (const char *name : names) {
        // insertSubstitution keeps a list without duplicates, so calling
        // this again changes nothing.
        QFont::insertSubstitution(QString::fromUtf8(name), family);
    }
}

}  // namespace ui

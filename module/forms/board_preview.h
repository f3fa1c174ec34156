// A helper's preview on the board: the board shows the cells as they would
// be after (marked, the figures and the state line counting them), and a
// bar under the grid says what the helper will do, with 确定 (the server
// computes again and applies it whole) and 取消 (nothing changes). While it
// shows, the cells take no typing and the other commands wait.
#pragma once

#include <QWidget>

#include <functional>
#include <string>

#include "allocation.h"
#include "board_model.h"

class QLabel;
class QPushButton;
class TFm_board;

namespace remote {
class RemoteConnection;
}

class BoardPreview : public QWidget {
    Q_OBJECT
public:
    // What the helper computes from the board as the server answers it now:
    // the proposal and the bar's text, or an exception to stop with.
    struct Computed {
        board::Proposal proposal;
        QString summary;
        std::string fingerprint;
    };
    using Compute = std::function<Computed()>;
    // Sends the helper with the preview's fingerprint; returns the notice to show.
    using Apply = std::function<QString(const std::string &fingerprint)>;

    // Reads the board, computes and shows the preview (nothing shows when the
    // computation throws). 确定 applies; a refused apply shows the reason and,
    // when the board has changed meanwhile, the preview computed again.
    static void start(TFm_board &form, Compute compute, Apply apply);

    // The preview showing on a board, or nullptr.
    static BoardPreview *of(TFm_board &form);

    QLabel *lb_preview = nullptr;
    QPushButton *bt_ok = nullptr;
    QPushButton *bt_cancel = nullptr;

    void confirm();
    void cancel();

private:
    BoardPreview(TFm_board &form, Compute compute, Apply apply);
    // Computes and shows; false when there is nothing to preview.
    bool show_computed();
    void finish();

    TFm_board &form_;
    Compute compute_;
    Apply apply_;
    std::string fingerprint_;
    std::vector<std::pair<QWidget *, bool>> waiting_;  // what waits while the preview shows, and its state before
};

namespace board_helpers {

// The board read again into the model, as the server answers now (a
// helper computes from the same answer).
wire::DataPacket reload(TFm_board &form, const std::string &month);

// Unsaved typing before a helper runs: saved (Yes), dropped (No), or the
// helper does not run (Cancel; a refused save). True when it may run.
bool settle_edits(TFm_board &form);

// Names for codes: "张伟、李娜".
QString names_of(const board::BoardModel &model, const std::vector<std::string> &codes);

remote::RemoteConnection &connection();

}  // namespace board_helpers

#pragma once
// What the device link asks of the user interface.  Worker threads call
// these; the main window's implementation carries each call over to the
// user-interface thread and returns when it is done there.  Message boxes go
// through showMessage() (app/messages.h) instead.

#include <cstddef>
#include <string>
#include <vector>

#include "records/recordstore.h"
#include "records/testrecord.h"

class LinkView {
public:
    virtual ~LinkView() = default;
    // Status panel 0: "Not Connected" / "Connected to Dosimark Kest".
    virtual void setConnectionStatus(const std::string& text) = 0;
    // Enables or disables BtnDownloadData and RetrieveData1.
    virtual void setDownloadEnabled(bool on) = 0;
    // Sets saveDialogMode to SaveTextAll and shows the save dialog at once.
    virtual void showSaveDialogNow() = 0;
    // Puts newly decoded records in place and refreshes the views: replace
    // the sets (capacity) with the records and the identity of the tester
    // they came from, set haveData, prepare and enable the grid, enable the
    // data controls, fill the list, refresh the single record page.
    // Returns 0, or -1 if the sets could not be replaced or the fill failed.
    virtual int presentRecords(const std::vector<TestRecord>& records, std::size_t capacity,
                               const TesterIdentity& tester) = 0;
};

// The view the link talks to.  Without one installed, a headless view is
// used that only updates the record store (replace, haveData, fill).
void setLinkView(LinkView* view);
LinkView& linkView();

// The store part of presentRecords, shared by every view: replace the sets,
// set haveData and fill the display.  Returns 0 or -1.
int storeNewRecords(const std::vector<TestRecord>& records, std::size_t capacity,
                    const TesterIdentity& tester = TesterIdentity());

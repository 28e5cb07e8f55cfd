// Downloads: one file at a time into the contents directory, with a progress
// bar and an abort button.
Demo.addPanel("Downloads", function (root) {
    var box = Demo.fieldset(root, "Download into the contents directory");
    var url = Demo.field(box, "URL", "https://www.example.com/");
    var path = Demo.field(box, "Folder (with a leading /)", "/downloads");
    var name = Demo.field(box, "File name", "example.html");
    var bar = Demo.el("progress", { max: "1", value: "0" });
    var status = Demo.el("span", {}, " idle");
    var row = Demo.el("div");
    row.appendChild(bar);
    row.appendChild(status);
    var current = null;

    function show(text, value, max) {
        status.textContent = " " + text;
        if (max > 0) {
            bar.max = max;
            bar.value = value;
        } else if (value !== undefined) {
            // Without a length the bar cannot show a share: keep it moving.
            bar.removeAttribute("value");
        }
    }

    Demo.button(box, "Download", function () {
        current = Demo.call("downloadFile", url.value, path.value, name.value);
        show("requested", 0, 1);
    });
    Demo.button(box, "Abort", function () {
        Demo.call("abortDownloadFile");
    });
    box.appendChild(row);

    Demo.onEvent(function (event, data) {
        if (!data || event.indexOf("fileDownload") !== 0)
            return;
        if (event === "fileDownloadAbort") {
            show("aborted");
            return;
        }
        if (data.uuid !== current) {
            if (event === "fileDownloadError" && data.code === 601)
                status.textContent = " busy: another download is running";
            return;
        }
        if (event === "fileDownloadStart")
            show("started", 0, data.total);
        else if (event === "fileDownloadProgress")
            show(data.progress + (data.total ? " of " + data.total : "") + " bytes", data.progress, data.total);
        else if (event === "fileDownloadFinish")
            show("saved as " + data.downloaded_path, 1, 1);
        else if (event === "fileDownloadError")
            show("failed with code " + data.code);
    });
});

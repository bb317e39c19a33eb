// Placeholder: the download engine lands here.

// Placeholder: identification lands here.

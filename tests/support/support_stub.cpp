// Placeholder: test helpers land here.

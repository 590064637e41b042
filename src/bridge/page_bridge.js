// Placeholder: replaced by the page bridge script.
